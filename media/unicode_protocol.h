// File names handed to the format library.
#pragma once

// Called by the loader each time avformat is bound: makes the "unicode:utf8:" route usable.
void RegisterUnicodeProtocol();
bool UnicodeProtocolRegistered();
