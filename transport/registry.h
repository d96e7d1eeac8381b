// Internal interface of the callback registry (part of module LCMP_socket).
//
// The registry is shared by caller threads (install, remove, walk) and the
// receive thread (dispatch, final destruction). One mutex guards the chain
// and is never held while a callback runs; see registry.cpp for the design.
#pragma once

#include <cstdint>

#include "lcmp.h"

namespace lcmp {

// Visits the entries installed when the walk starts, in installation order,
// skipping any that are removed before their turn. Each visit holds the
// entry's CallbackData alive (its release waits for the visit to end), and
// no registry lock is held during it, so the visitor may install and remove
// entries, its own included.
using EntryVisitor = void (*)(CallbackData *data, int32_t opcode, void *context);
void VisitEntries(EntryVisitor visit, void *context);

// Removes every entry and frees the registry (the end of the receive loop).
// CallbackData records stay with their owners, except those of Java
// registrations: these are dropped (released, and their positions kept).
void CallbackListDestroyAll() noexcept;

// Hands over the number of positions that dropped Java registrations hold
// and forgets them: the live Java registrations are numbered from 0 again.
// The host forgets the same number of its oldest listed callbacks in the
// same step (under its own lock), so that its list and the positions stay
// aligned while it no longer keeps dropped objects.
int64_t TakeDroppedJavaPositions() noexcept;

// Number of installed entries, 0 when there is no registry (for tests and tools).
uint16_t RegistryCount() noexcept;

namespace testing {
// Forgets the Java registrations dropped so far, so that a test starts with
// positions from 0 (as a process does).
void ForgetDroppedJavaPositions() noexcept;
}  // namespace testing

}  // namespace lcmp
