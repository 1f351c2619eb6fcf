/* Checks the calling convention of every call the probe makes into a driver. On 32-bit Windows a call goes through
 * a thunk that records the stack pointer and the callee-saved registers around it: a driver method built with
 * another convention than the host's pops the wrong number of bytes (or reads its object from the wrong place)
 * and is caught here, and the thunk repairs the stack so that the probe can report it instead of crashing. On x64
 * there is one convention and nothing to check. */
#pragma once

#include <stddef.h>

/* Prepares one call of `target`, which must pop `stack_bytes` of arguments (after the object in ECX for a member
 * call; including the object for a __stdcall one). Returns what to call instead, with the same signature. */
void* call_check_arm(void* target, size_t stack_bytes);

/* After the call: 1 when the callee kept the convention, else 0 with the reason in `why`. */
int call_check_verify(char* why, size_t size);

/* 1 when the check accepts a callee of the right convention and rejects one of the wrong convention. */
int call_check_self_test(void);

/* Bytes a 32-bit caller puts on the stack for one argument. An array must be passed as the address of its first
 * element: sizeof would measure the whole array, not the pointer the call passes. */
#define CALL_CHECK_SLOT(argument) ((sizeof(argument) + 3) & ~(size_t)3)
