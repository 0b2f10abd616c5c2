#pragma once
// Bounded-depth deallocation.
//
// Destroying an object releases what it holds, and a held object may be
// another of ours holding yet another: a channel of channels a hundred
// thousand deep would otherwise recurse once per level on the C stack and
// overflow it. Past a fixed nesting depth, deallocations are queued on the
// current thread and run one after another by the outermost deallocation, so
// the stack stays bounded whatever the nesting.
#include <Python.h>

namespace kestrum {

using DestroyFunction = void (*)(PyObject*);

// Runs destroy(object) now, or, when already deeply nested in deallocations
// on this thread, later from the outermost one. `object` is unreachable
// (its reference count is zero), so nobody can observe the delay.
void deallocate_bounded(PyObject* object, DestroyFunction destroy) noexcept;

}  // namespace kestrum
