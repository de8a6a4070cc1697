#pragma once

#include <cstddef>
#include <cstdint>

#include "recorder/stack_capture.h"

namespace kivrec {

// The recording side of the allocator hooks. Every function expects the
// caller to hold the thread's re-entrancy guard (hooks.cpp), so that
// anything the recorder itself calls reaches the real allocator untraced.
// Records of all threads go through one lock in the order the allocator
// saw them: a free is written before the block is given back and an
// allocation after it is taken, so an address is never recorded as
// allocated by one thread before another thread's free of it.

// Starts the trace of this process image when the environment asks for
// one; false while tracing is off.
bool recording();

// Starts loading what recording the block will need, to overlap with the
// capture of its stack.
void expect_block(void* block);

// Frames of the program kept per stack (kivrec --depth).
std::uint32_t capture_depth();

// An allocation is recorded with the call stack that made it (its
// location: one key per distinct stack), captured by the allocator
// function while recording; a free without one.
void record_allocation(void* block, std::size_t size, const captured_stack& stack);
// Called before the block is handed back to the allocator.
void record_free(void* block);

using realloc_function = void* (*)(void*, std::size_t);
// Runs the real realloc under the recorder's lock and records its outcome.
void* record_realloc(void* block, std::size_t size, realloc_function real, const captured_stack& stack);

// An object was unloaded (dlclose): the recorder's list of loaded objects
// is read again, so that later stacks tell it apart from whatever is
// loaded at its addresses next.
void objects_changed();

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
