/* The 32-bit call check. The thunk stands in for the driver's method: it takes the caller's return address off
 * the stack, so that the method finds its arguments exactly where the caller put them, notes ESP and the
 * callee-saved registers, calls the method, notes them again, then restores the registers and the stack the
 * caller expects and returns to it. A single host thread calls through it, so plain globals hold the state. */
#include <stdint.h>
#include <stdio.h>

#include "call_check.h"

void* call_check_target __asm__("call_check_target");
uint32_t call_check_return __asm__("call_check_return");
uint32_t call_check_expected __asm__("call_check_expected");
uint32_t call_check_ecx __asm__("call_check_ecx");
uint32_t call_check_esp_before __asm__("call_check_esp_before");
uint32_t call_check_esp_after __asm__("call_check_esp_after");
uint32_t call_check_esp_restore __asm__("call_check_esp_restore");
uint32_t call_check_saved_before[4] __asm__("call_check_saved_before");
uint32_t call_check_saved_after[4] __asm__("call_check_saved_after");
extern char call_check_thunk[] __asm__("call_check_thunk");

__asm__(
    ".text\n"
    ".globl call_check_thunk\n"
    "call_check_thunk:\n"
    "    popl  call_check_return\n"
    "    movl  %ecx, call_check_ecx\n"
    "    movl  %esp, %ecx\n"
    "    movl  %ecx, call_check_esp_before\n"
    "    addl  call_check_expected, %ecx\n"
    "    movl  %ecx, call_check_esp_restore\n"
    "    movl  call_check_ecx, %ecx\n"
    "    movl  %ebx, call_check_saved_before\n"
    "    movl  %esi, call_check_saved_before+4\n"
    "    movl  %edi, call_check_saved_before+8\n"
    "    movl  %ebp, call_check_saved_before+12\n"
    "    call  *call_check_target\n"
    "    movl  %esp, call_check_esp_after\n"
    "    movl  %ebx, call_check_saved_after\n"
    "    movl  %esi, call_check_saved_after+4\n"
    "    movl  %edi, call_check_saved_after+8\n"
    "    movl  %ebp, call_check_saved_after+12\n"
    "    movl  call_check_saved_before, %ebx\n"
    "    movl  call_check_saved_before+4, %esi\n"
    "    movl  call_check_saved_before+8, %edi\n"
    "    movl  call_check_saved_before+12, %ebp\n"
    "    movl  call_check_esp_restore, %esp\n"
    "    jmp   *call_check_return\n");

void* call_check_arm(void* target, size_t stack_bytes) {
    call_check_target = target;
    call_check_expected = (uint32_t)stack_bytes;
    call_check_esp_before = call_check_esp_after = 0;
    return call_check_thunk;
}

int call_check_verify(char* why, size_t size) {
    static const char* const names[4] = {"EBX", "ESI", "EDI", "EBP"};
    int32_t popped = (int32_t)(call_check_esp_after - call_check_esp_before);
    if (popped != (int32_t)call_check_expected) {
        snprintf(why, size, "the callee popped %d bytes of arguments, the caller pushed %u", (int)popped,
                 (unsigned)call_check_expected);
        return 0;
    }
    for (int i = 0; i < 4; ++i) {
        if (call_check_saved_before[i] != call_check_saved_after[i]) {
            snprintf(why, size, "the callee did not preserve %s", names[i]);
            return 0;
        }
    }
    return 1;
}

/* Two functions of a member-call signature, one compiled with the member-call convention and one as a plain C
 * function (which leaves its arguments to the caller and expects the object on the stack). */
static int __attribute__((thiscall)) right_convention(void* self, int a, double b) {
    return self != 0 && a == 7 && b == 2.5;
}
static int __attribute__((cdecl)) wrong_convention(void* self, int a, double b) {
    return self != 0 && a == 7 && b == 2.5;
}

int call_check_self_test(void) {
    typedef int(__attribute__((thiscall)) * Method)(void*, int, double);
    char why[160];
    int object = 0;
    size_t bytes = CALL_CHECK_SLOT(int) + CALL_CHECK_SLOT(double);
    int answer = ((Method)call_check_arm((void*)right_convention, bytes))(&object, 7, 2.5);
    if (!call_check_verify(why, sizeof why) || answer != 1) return 0;
    ((Method)call_check_arm((void*)wrong_convention, bytes))(&object, 7, 2.5);
    return !call_check_verify(why, sizeof why);
}
