#pragma once
// Ctrl-C during a long command: the first one asks the export or scan to stop
// at its next progress report; a second one ends the program at once.

namespace dscli {

void install_interrupt_handler();
bool interrupted();

} // namespace dscli
