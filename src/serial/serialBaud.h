#pragma once

#include <cstdint>

// Sets a line speed that has no termios constant (14400, 56000, 128000, 256000 bit/s)
// through the kernel's arbitrary-rate interface. False when the line refuses it.
// Kept apart from serialPort.cpp: the kernel's termios header clashes with <termios.h>.
bool SetArbitraryBaud(int fd, uint32_t baud);
// The output speed the line reports, 0 when unknown.
uint32_t GetArbitraryBaud(int fd);
