#pragma once

// The helper's trace: one line on standard output per thing done, which the
// preview side reads (it waits for "connected " before it talks) and people
// read when a document misbehaves. Every line goes through here, whole and
// flushed, so that no line is half written when the helper dies.

#include <iostream>

template <typename... Pieces>
void traceLine(const Pieces &...pieces)
{
    (std::cout << ... << pieces) << std::endl;
}
