#pragma once

// What a start of the program opens: the chooser, one of the three mode windows, the help box
// or nothing. The command line and the chooser's buttons both come down to one of these, and
// the start-up's window opener makes the window for it.
enum class WindowMode { Chooser, Server, Client, Udp, Help, Nothing };
