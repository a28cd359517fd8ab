// The folder choice used by the main window's Browse and the preferences' snapshot-folder
// Brows: a modal chooser opened by the user's click. Returns the chosen folder, or an empty
// string when the user cancelled.
#pragma once

#include <QString>

class QWidget;

QString ChooseFolder(QWidget* parent, const QString& startFolder);
