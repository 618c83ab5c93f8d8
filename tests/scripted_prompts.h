// Answers Nestmend's dialogs from a script, so that no dialog waits for a person: the next file
// name (or a cancel), and OK to every message box, or, with `while_message` set, whatever it
// does (such as closing the window) before the box waits to be dismissed.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <deque>
#include <functional>

#include "user_prompts.h"

namespace nestmend::testing {

class ScriptedPrompts final : public UserPrompts {
 public:
  std::optional<QString> ChooseFileToOpen(QWidget*, const QString& current) override {
    offered.push_back(current);
    if (answers.empty()) return std::nullopt;
    const std::optional<QString> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void ShowMessage(QWidget*, const QString& title, const QString& text) override {
    messages.push_back(title + ": " + text);
    if (!while_message) return;
    dismissed = false;
    while_message();
    for (QDeadlineTimer deadline(5000); !dismissed && !deadline.hasExpired();) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
  }
  void DismissMessage() override { dismissed = true; }

  std::deque<std::optional<QString>> answers;
  QStringList offered;  // what the dialog was opened with
  QStringList messages;
  std::function<void()> while_message;
  bool dismissed = false;
};

}  // namespace nestmend::testing
