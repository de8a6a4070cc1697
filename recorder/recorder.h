#pragma once

#include <cstddef>
#include <cstdint>

namespace kivrec {

// Where an allocator function was called from: the return address and the
// caller's stack pointer after the call (just above the return address).
struct call_origin {
  std::uint64_t ip = 0;
  std::uint64_t stack = 0;
};

// The recording side of the allocator hooks. Every function expects the
// caller to hold the thread's re-entrancy guard (hooks.cpp), so that
// anything the recorder itself calls reaches the real allocator untraced.
// Records of all threads go through one lock in the order the allocator
// saw them: a free is written before the block is given back and an
// allocation after it is taken, so an address is never recorded as
// allocated by one thread before another thread's free of it.

// Starts the trace of this process image when the environment asks for
// one; false while tracing is off.
// Call sites inside the C library or the C++ runtime are
// replaced by the first frame outside them (see runtime_frames).
bool recording();

void record_allocation(void* block, std::size_t size, call_origin caller);
// Called before the block is handed back to the allocator.
void record_free(void* block, call_origin caller);

using realloc_function = void* (*)(void*, std::size_t);
// Runs the real realloc under the recorder's lock and records its outcome.
void* record_realloc(void* block, std::size_t size, call_origin caller, realloc_function real);

// Entry into and exit from a function of a program built with
// -finstrument-functions.
void record_flow_in(std::uint64_t function);
void record_flow_out();

// The process image ends (exit, _exit, exec): process end record, last data
// file listed, header closed.
void end_trace();
// exec failed: the image goes on under a new header beside the old one.
void restart_trace();
// True in a vfork child sharing the traced parent's memory: it must leave
// the parent's trace alone.
bool foreign_process();

}  // namespace kivrec
