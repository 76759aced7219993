#pragma once

namespace kw {

// Sleeps at least `milliseconds`, measured from the moment of the call, waking as close to
// that deadline as the system allows.
void preciseSleep(int milliseconds) noexcept;

} // namespace kw
