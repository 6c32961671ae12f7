#pragma once

#include <QString>

class QObject;

// Helpers for the tests that build a window (orvanta_test_gui).
namespace testing_support {

// Answers the next modal dialog (message box or dialog) with the given
// button text, or with its default when buttonText is empty; records the
// dialog's text and title. Polls until one shows up or timeoutMs (scaled)
// passes.
struct DialogAnswer {
    bool bSeen = false;
    QString text;
    QString title;
};
void AnswerNextDialog(DialogAnswer* pAnswer, const QString& buttonText, int timeoutMs = 10000);

// Waits until the window has drawn the engine's latest notes (it shows
// them once a frame).
void SettleView(QObject& window);

} // namespace testing_support
