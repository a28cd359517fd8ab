// The option builder's questions and warnings answered with message boxes: a question waits
// for its answer, a warning is shown without waiting.
#pragma once

#include <QWidget>

#include "app/core/optionbuilder.h"

class TMessageBoxPrompts : public TBuilderPrompts {
public:
  explicit TMessageBoxPrompts(QWidget* parent) : parent_(parent) {}
  bool AskYesNo(const std::string& title, const std::string& text) override;
  void Warn(const std::string& title, const std::string& text) override;

private:
  QWidget* parent_;
};
