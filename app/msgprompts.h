// The option builder's questions and warnings answered with message boxes: a question waits
// for its answer, a warning is shown without waiting.
#pragma once

#include <QWidget>
#include <string>
#include <utility>
#include <vector>

#include "app/core/optionbuilder.h"

class TMessageBoxPrompts : public TBuilderPrompts {
public:
  explicit TMessageBoxPrompts(QWidget* parent) : parent_(parent) {}
  bool AskYesNo(const std::string& title, const std::string& text) override;
  void Warn(const std::string& title, const std::string& text) override;

private:
  QWidget* parent_;
};

// For work with a progress window of its own (adding files, a conversion run): questions are
// passed on at once, warnings are held and shown by Flush when the work has ended, so that
// they come in front instead of behind the progress window.
class THeldWarnings : public TBuilderPrompts {
public:
  explicit THeldWarnings(TBuilderPrompts& target) : target_(target) {}
  bool AskYesNo(const std::string& title, const std::string& text) override { return target_.AskYesNo(title, text); }
  void Warn(const std::string& title, const std::string& text) override { held_.emplace_back(title, text); }
  // Shows the held warnings in order and forgets them.
  void Flush();
  void Clear() { held_.clear(); }

private:
  TBuilderPrompts& target_;
  std::vector<std::pair<std::string, std::string>> held_;
};
