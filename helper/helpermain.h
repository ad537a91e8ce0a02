#pragma once

// The helper's whole life from its command line on. pdfhelper's main is only
// this; a program that forks a helper of its own rather than starting one
// (the thumbnailer, which has the same libraries loaded already) calls it in
// the child. Nothing in it depends on how the process began, but the
// process must be single-threaded when it is called: the sandbox's
// namespaces refuse a process with threads.
int runHelper(int argc, char *argv[]);
