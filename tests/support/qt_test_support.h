#pragma once
// Fixtures for tests of the windows on Qt's offscreen platform. Header-only:
// only the test programs that link the windows layer include it.
#include <gtest/gtest.h>

#include <QObject>

#include <memory>
#include <string>
#include <vector>

#include "app/ui/application.h"
#include "app/ui/message_box.h"

namespace korvane::test {

// One application object for the whole test program, made before the first
// test and destroyed after the last one (not at exit, where Qt's own globals
// are already gone). `name` is the program name the application sees.
template <class App> class QtEnvironment final : public ::testing::Environment {
public:
  explicit QtEnvironment(const char* name) : name_(name) {}
  void SetUp() override {
    argv_[0] = name_.data();
    app_ = std::make_unique<App>(argc_, argv_);
  }
  void TearDown() override { app_.reset(); }

private:
  std::string name_;
  // Qt keeps referring to these while the application lives.
  int argc_ = 1;
  char* argv_[2] = {nullptr, nullptr};
  std::unique_ptr<App> app_;
};

// Registers the application object of type App (the program's own by default).
template <class App = KorvaneApplication>::testing::Environment* AddQtEnvironment(const char* name) {
  return ::testing::AddGlobalTestEnvironment(new QtEnvironment<App>(name));
}

// Takes the texts of the message boxes for as long as it lives, then puts
// back what was in place. As a base of a fixture it outlives the windows the
// fixture holds.
class CapturedMessages {
public:
  CapturedMessages()
      : previous_(SetMessageSink([this](const std::string& text) { messages.push_back(text); })) {}
  ~CapturedMessages() { SetMessageSink(previous_); }
  CapturedMessages(const CapturedMessages&) = delete;
  CapturedMessages& operator=(const CapturedMessages&) = delete;

  std::vector<std::string> messages;

private:
  MessageSink previous_;
};

// The child of `root` named `name`; a failure when there is none.
template <class W> W* Child(const QObject* root, const char* name) {
  W* w = root->findChild<W*>(name);
  EXPECT_NE(w, nullptr) << name;
  return w;
}

} // namespace korvane::test
