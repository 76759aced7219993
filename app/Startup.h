#pragma once

class QTranslator;
class QWidget;

namespace kw {

// Application names the desktop uses for the window class and the .desktop file.
void setApplicationNames();

// Qt's own texts (standard buttons, the file dialog, context menus) in Chinese like the rest
// of the window, whatever the user's locale. Call after the application object is made and
// before any window. Returns the installed translator, owned by the application, or nullptr
// when Qt's Chinese translation is not installed (Qt's texts then stay English).
QTranslator* loadQtChineseTexts();

// SIGTERM and SIGINT close `window` the way its close button does, so a session logout or
// Ctrl+C ends the tool cleanly (a transfer under way finishes first). No-op on Windows.
void closeOnTerminationSignals(QWidget& window);

} // namespace kw
