// chain_plugin.cpp - a library that the call chain tests load and unload at
// run time: a frame of its own between the program's.

extern "C" {

volatile int PluginSink;

// Calls work; the store after the call keeps this frame in the chain.
__attribute__((noinline)) void PluginCalls(void (*work)(void)) {
    work();
    PluginSink = PluginSink + 1;
}
}
