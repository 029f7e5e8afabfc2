// shapes.cpp - a shared library of the tests' own, for reports of frames in
// a loaded object: a routine that faults, and one that calls back into the
// program, each exported under a plain name for dlsym.

namespace {

volatile int Sink;

} // namespace

extern "C" __attribute__((noinline)) void ShapesFault(volatile int* cell) {
    Sink = *cell;
    Sink = Sink + 1; // not a tail of the read: the fault stays in here
}

extern "C" __attribute__((noinline)) void ShapesCall(void (*back)(void*), void* arg) {
    back(arg);
    Sink = Sink + 1; // not a tail call: this frame stays in the chain
}
