// POSIX (termios) backend of the serial platform layer.
