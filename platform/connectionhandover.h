#pragma once

// The connection itself, handed to a helper our own preview side starts,
// so that a helper need not connect at all: a stream socket pair
// (childsocketpair.h) whose one end the helper alone inherits, named in its
// environment. A helper that takes it connects to nothing, and its sandbox
// refuses connect from the start. The preview side still listens on the
// server name it passes, for a helper that does not take the pair, and uses
// whichever connection the helper uses. On Windows there is no pair: the
// helper connects to the named pipe.

// The environment variable that names the helper's end of the connection.
constexpr char ConnectionVariable[] = "PDFHELPER_CONNECTION";

// Helper side: the connection named in the environment, when it is one (a
// connected local stream socket); -1 otherwise. The variable is removed.
int inheritedConnection();
