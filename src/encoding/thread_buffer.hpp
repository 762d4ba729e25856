// Scratch that each thread keeps between calls.
#pragma once

namespace tolvane {

// The calling thread's own T, made on first use; each T is one buffer, so
// every use needs a type of its own. In a shared library, finding a
// thread_local is a call, and code that names the variable directly finds
// it again after every call it makes (about a fifth of ranked encoding's
// instructions went to that). Through this function the lookup happens
// once, and the caller keeps the reference like any pointer.
template <class T>
[[gnu::noinline]] T& thread_buffer() {
    thread_local T buffer;
    return buffer;
}

}  // namespace tolvane
