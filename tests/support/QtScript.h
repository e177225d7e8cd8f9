#pragma once

// Drives modal Qt dialogs from tests: each step waits (on the event loop, not by sleeping)
// until a modal widget is up and acts on it.

#include <gtest/gtest.h>

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>

// Qt tests without a display draw off screen; the whole-window test sets a display itself.
inline void UseOffscreenUnlessSet() {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
}

class TModalScript {
 public:
  using TStep = std::function<void(QWidget& AModal)>;

  // Queues a step for the next modal widget that no step acted on yet.
  void Then(TStep AStep) {
    FSteps.push_back(std::move(AStep));
    if (FSteps.size() == 1) Poll();
  }
  bool Done() const { return FSteps.empty(); }

 private:
  void Poll() {
    QTimer::singleShot(10, qApp, [this] {
      if (FSteps.empty()) return;
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal || modal->property("scripted").toBool() || !modal->isVisible()) return Poll();
      modal->setProperty("scripted", true);
      TStep step = std::move(FSteps.front());
      FSteps.pop_front();
      if (!FSteps.empty()) Poll();
      QPointer<QWidget> acted = modal;
      step(*modal);
      // A step that failed closes its dialog, so the test ends instead of hanging.
      if (::testing::Test::HasFailure() && acted && acted->isVisible()) acted->close();
    });
  }

  std::deque<TStep> FSteps;
};
