#pragma once

// Hands Qt's accessibility the interfaces of our own: the log pane's text, and the role of a
// window for windows built on a bare QWidget (which Qt would show as a mere client area).
// Safe to call more than once; the first call installs.
namespace Accessibility {

void installFactory();

} // namespace Accessibility
