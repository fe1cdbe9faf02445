#pragma once
// Thread creation that fails on demand, for tests of what a program does
// when the system has no thread to give: linking this in puts a
// pthread_create in front of the system's for the whole test program.

namespace TestSupport {

// The next n thread creations fail with EAGAIN, as at a process limit.
void failThreadStarts(int n);

}  // namespace TestSupport
