#pragma once

class QApplication;

namespace orvanta {

// The look every dialog of the process shares: white dialogs with black
// text (message boxes included) in the game's 9-point Korean face, with
// Qt's own buttons and menus in Korean. Called
// once, after the application object exists and before the first window.
void SetDialogLook(QApplication& app);

} // namespace orvanta
