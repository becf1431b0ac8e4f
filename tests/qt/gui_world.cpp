#include "qt/gui_world.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>

namespace brenvik::test {

std::optional<std::string> ScriptedPicker::PickFolder(const std::string& title) {
  titles.push_back(title);
  if (picks.empty()) return std::nullopt;
  std::optional<std::string> pick = picks.front();
  picks.pop_front();
  return pick;
}

GuiWorld::GuiWorld() : release(server, "2.5") {}

SessionConfig GuiWorld::Config() const { return WindowTestConfig(release, DefaultFolder(), work); }

Session& GuiWorld::MakeSession(SessionConfig config) {
  session.reset();
  session = std::make_unique<Session>(std::move(config), process, settings, catalogue, prompt,
                                      picker, free_space, launcher);
  return *session;
}

MessageBoxAnswerer::MessageBoxAnswerer(std::vector<QMessageBox::StandardButton> answers,
                                       QMessageBox::StandardButton fallback)
    : answers_(answers.begin(), answers.end()), fallback_(fallback) {
  connect(&timer_, &QTimer::timeout, this, &MessageBoxAnswerer::Poll);
  timer_.start(10);
}

QStringList MessageBoxAnswerer::Texts() const {
  QStringList texts;
  for (const Seen& box : seen_) texts << box.text;
  return texts;
}

void MessageBoxAnswerer::Poll() {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (box == nullptr || !box->isVisible()) return;
  seen_.push_back({box->windowTitle(), box->text(), box->standardButtons(), box->icon()});
  QMessageBox::StandardButton answer = fallback_;
  if (!answers_.empty()) {
    answer = answers_.front();
    answers_.pop_front();
  }
  QAbstractButton* button = box->button(answer);
  if (button == nullptr) button = box->escapeButton();
  if (button != nullptr) button->click();
}

UiScript::UiScript(int limit_ms) {
  QTimer::singleShot(10, this, &UiScript::Poll);
  limit_.setSingleShot(true);
  connect(&limit_, &QTimer::timeout, this, [this] {
    timed_out_ = true;
    steps_.clear();
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible()) {
        dialog->done(QDialog::Rejected);
      }
    }
  });
  limit_.start(limit_ms);
}

UiScript& UiScript::Then(std::function<bool()> step) {
  steps_.push_back(std::move(step));
  return *this;
}

void UiScript::Poll() {
  // The next poll is a timer of its own: a timer never fires again while
  // its own handler runs, and a step may run a page modally.
  if (!timed_out_) QTimer::singleShot(10, this, &UiScript::Poll);
  if (steps_.empty()) return;
  // A step may open a modal loop of its own; it must not be tried again
  // from inside that loop.
  std::function<bool()> step = std::move(steps_.front());
  steps_.pop_front();
  if (!step()) steps_.push_front(std::move(step));
}

Sampler::Sampler(std::function<void()> sample, int interval_ms) : sample_(std::move(sample)) {
  connect(&timer_, &QTimer::timeout, this, [this] { sample_(); });
  timer_.start(interval_ms);
}

}  // namespace brenvik::test
