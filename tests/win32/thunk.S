// tiv_call: calls tiv_state.target the way a host calls an export, whatever its convention.
//
//  - The argument block is copied to a fresh stack area whose ESP at the call instruction is
//    tiv_state.offset modulo 16; the block ends with guard bytes that lie just above the
//    arguments, where the caller's own data would be.
//  - EAX, EDX, ECX come from the state; EBX, ESI, EDI, EBP hold sentinels.
//  - The x87 unit runs the call with the state's control word, an empty register stack and
//    no exception flags. Afterwards the control word, status word and environment (tag word,
//    TOP) are recorded, and ST(0) is popped into the state when it holds a value.
//  - The program's own x87 environment is put back before returning.
// Everything goes through the static tiv_state, since while the callee runs no register can
// point at it.
#include "thunk.h"

    .intel_syntax noprefix
#define S(field) [_tiv_state + field]

    .text
    .globl _tiv_call
    .globl _tiv_call_recover
_tiv_call:
    push ebp
    push ebx
    push esi
    push edi
    mov  S(TS_SAVED_ESP), esp
    fnstcw word ptr S(TS_HOST_CW)

    // The callee's stack: well below this frame, aligned to 16 and then moved up by the offset.
    mov  eax, esp
    sub  eax, 1024
    sub  eax, dword ptr S(TS_BLOCK_BYTES)
    and  eax, -16
    add  eax, dword ptr S(TS_OFFSET)
    mov  S(TS_ESP_AT_CALL), eax
    cld
    mov  edi, eax
    mov  esi, dword ptr S(TS_BLOCK)
    mov  ecx, dword ptr S(TS_BLOCK_BYTES)
    rep movsb

    // The caller's x87 state: empty stack, no pending flags, the requested control word.
    // fnstenv masks every exception as a side effect: load the control word again after it.
    fnclex
    fldcw word ptr S(TS_CW)
    fnstenv S(TS_ENV_BEFORE)
    fldcw word ptr S(TS_CW)
    fnstcw word ptr S(TS_CW_BEFORE)
    fnstsw word ptr S(TS_SW_BEFORE)
    mov  dword ptr S(TS_HAD_FLOAT), 0
    mov  dword ptr S(TS_FAULTED), 0

    mov  esp, S(TS_ESP_AT_CALL)
    mov  eax, S(TS_EAX)
    mov  edx, S(TS_EDX)
    mov  ecx, S(TS_ECX)
    mov  ebx, S(TS_SENTINELS + 0)
    mov  esi, S(TS_SENTINELS + 4)
    mov  edi, S(TS_SENTINELS + 8)
    mov  ebp, S(TS_SENTINELS + 12)
    call dword ptr S(TS_TARGET)

    mov  S(TS_OUT_EAX), eax
    mov  S(TS_OUT_EDX), edx
    mov  S(TS_ESP_AFTER), esp
    mov  S(TS_REGS_AFTER + 0), ebx
    mov  S(TS_REGS_AFTER + 4), esi
    mov  S(TS_REGS_AFTER + 8), edi
    mov  S(TS_REGS_AFTER + 12), ebp
    // Flags through a scratch area below the call frame, so that nothing above it is touched
    // before the guard bytes are read.
    mov  esp, S(TS_ESP_AT_CALL)
    sub  esp, 64
    pushfd
    pop  eax
    mov  S(TS_EFLAGS_AFTER), eax
    fnstsw word ptr S(TS_SW_AFTER)
    fnstcw word ptr S(TS_CW_AFTER)
    fnstenv S(TS_ENV_AFTER)           // masks all exceptions: nothing below can trap

    // A value in ST(0)? fxam reports an empty register as C3=1 C2=0 C0=1.
    fxam
    fnstsw ax
    and  ax, 0x4500
    cmp  ax, 0x4100
    je   1f
    fstp tbyte ptr S(TS_ST0)
    mov  dword ptr S(TS_HAD_FLOAT), 1
1:
    cld
    mov  esi, S(TS_ESP_AT_CALL)
    add  esi, S(TS_ARG_BYTES)
    lea  edi, S(TS_GUARD_AFTER)
    mov  ecx, TS_GUARD_BYTES
    rep movsb

done:
    mov  esp, S(TS_SAVED_ESP)
    fldenv S(TS_ENV_BEFORE)           // empty stack, no flags
    fldcw word ptr S(TS_HOST_CW)
    pop  edi
    pop  esi
    pop  ebx
    pop  ebp
    ret

// Entered from the exception handler when the callee faulted: any register may be garbage.
_tiv_call_recover:
    mov  esp, S(TS_SAVED_ESP)
    cld
    fnclex
    mov  dword ptr S(TS_FAULTED), 1
    jmp  done
