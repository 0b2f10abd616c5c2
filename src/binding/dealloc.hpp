#pragma once
// Bounded-depth deallocation.
//
// Destroying an object releases what it holds, and a held object may be
// another of ours holding yet another: a channel of channels a hundred
// thousand deep would otherwise recurse once per level on the C stack and
// overflow it. Past a fixed nesting depth, deallocations are deferred on the
// current thread and run one after another by the outermost deallocation, so
// the stack stays bounded whatever the nesting.
//
// The interpreter bounds nested deallocation itself only for objects that
// the cyclic collector tracks, which ours are not. The per-thread state here
// is two plain words in the static thread-local block, and deferred objects
// are chained through a link word in their own memory: nothing is allocated
// on any path, so deallocating with the memory exhausted still works (a
// first touch of lazily allocated thread-local storage would abort then).
#include <Python.h>

#include <cstddef>

namespace kestrum {

using DestroyFunction = void (*)(PyObject*);

// The link word every object of ours keeps right after its header, used only
// while the object waits, unreachable, to be destroyed.
inline constexpr std::size_t kDeallocLinkOffset = sizeof(PyObject);
static_assert(kDeallocLinkOffset % alignof(PyObject*) == 0);

// Runs destroy(object) now, or, when already deeply nested in deallocations
// on this thread, later from the outermost one (through the type's
// tp_dealloc, which comes back here). `object` is unreachable (its
// reference count is zero), so nobody can observe the delay.
void deallocate_bounded(PyObject* object, DestroyFunction destroy) noexcept;

}  // namespace kestrum
