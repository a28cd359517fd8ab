// What the loaded codec libraries say about an encoder, asked without their headers (the
// application core checks a profile's encoder names with it).
#pragma once

#include <string>

enum class TEncoderState {
  Usable,        // an encoder of that name and kind, not experimental
  Missing,       // no encoder of that name
  OtherKind,     // an encoder of that name, but for the other kind of stream
  Experimental,  // the libraries mark it experimental
};

// The state of the encoder `name` for audio (`audio`) or video. The codec library must be
// loaded.
TEncoderState EncoderState(const std::string& name, bool audio);
