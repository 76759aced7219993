#pragma once

class QWidget;

namespace kw {

// Application names the desktop uses for the window class and the .desktop file.
void setApplicationNames();

// SIGTERM and SIGINT close `window` the way its close button does, so a session logout or
// Ctrl+C ends the tool cleanly (a transfer under way finishes first). No-op on Windows.
void closeOnTerminationSignals(QWidget& window);

} // namespace kw
