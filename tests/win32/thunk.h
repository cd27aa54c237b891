// The call thunk: calls one export in any x86 calling convention and records what the call
// did to the machine state. The layout of TivState is shared with thunk.S through the TS_*
// offsets below.
#pragma once

#define TS_TARGET 0          // address to call
#define TS_EAX 4             // EAX, EDX, ECX at the call
#define TS_EDX 8
#define TS_ECX 12
#define TS_BLOCK 16          // bytes laid on the stack from ESP upwards: arguments, then guard
#define TS_ARG_BYTES 20      // argument bytes at the start of the block
#define TS_BLOCK_BYTES 24    // arguments plus guard
#define TS_OFFSET 28         // ESP modulo 16 at the call instruction: 0, 4, 8 or 12
#define TS_CW 32             // x87 control word the caller runs the call with
#define TS_SENTINELS 36      // EBX, ESI, EDI, EBP at the call
#define TS_OUT_EAX 52
#define TS_OUT_EDX 56
#define TS_ESP_AT_CALL 60    // ESP at the call instruction (before the return address)
#define TS_ESP_AFTER 64      // ESP right after the callee returned
#define TS_REGS_AFTER 68     // EBX, ESI, EDI, EBP after the call
#define TS_EFLAGS_AFTER 84
#define TS_CW_BEFORE 88      // control and status word right before the call
#define TS_SW_BEFORE 90
#define TS_CW_AFTER 92       // and right after it
#define TS_SW_AFTER 94
#define TS_ENV_BEFORE 96     // fnstenv images (28 bytes): tag word and TOP
#define TS_ENV_AFTER 124
#define TS_ST0 152           // ST(0) after the call as 80 bits, when it held a value
#define TS_HAD_FLOAT 164     // 1 when ST(0) held a value after the call
#define TS_FAULTED 168       // set by the exception handler's recovery path
#define TS_HOST_CW 172       // the program's own control word, restored after the call
#define TS_SAVED_ESP 176
#define TS_GUARD_AFTER 180   // the guard bytes above the arguments, read after the call
#define TS_SIZE 196

#define TS_GUARD_BYTES 16

#ifndef __ASSEMBLER__
#include <stddef.h>
#include <stdint.h>

struct TivState {
    uint32_t target;
    uint32_t eax, edx, ecx;
    const uint8_t* block;
    uint32_t argBytes;
    uint32_t blockBytes;
    uint32_t offset;
    uint32_t controlWord;
    uint32_t sentinels[4];
    uint32_t outEax, outEdx;
    uint32_t espAtCall, espAfter;
    uint32_t regsAfter[4];
    uint32_t eflagsAfter;
    uint16_t cwBefore, swBefore, cwAfter, swAfter;
    uint8_t envBefore[28];
    uint8_t envAfter[28];
    uint8_t st0[12];
    uint32_t hadFloat;
    uint32_t faulted;
    uint32_t hostCw;
    uint32_t savedEsp;
    uint8_t guardAfter[TS_GUARD_BYTES];
};

static_assert(offsetof(TivState, target) == TS_TARGET, "layout");
static_assert(offsetof(TivState, eax) == TS_EAX, "layout");
static_assert(offsetof(TivState, edx) == TS_EDX, "layout");
static_assert(offsetof(TivState, ecx) == TS_ECX, "layout");
static_assert(offsetof(TivState, block) == TS_BLOCK, "layout");
static_assert(offsetof(TivState, argBytes) == TS_ARG_BYTES, "layout");
static_assert(offsetof(TivState, blockBytes) == TS_BLOCK_BYTES, "layout");
static_assert(offsetof(TivState, offset) == TS_OFFSET, "layout");
static_assert(offsetof(TivState, controlWord) == TS_CW, "layout");
static_assert(offsetof(TivState, sentinels) == TS_SENTINELS, "layout");
static_assert(offsetof(TivState, outEax) == TS_OUT_EAX, "layout");
static_assert(offsetof(TivState, outEdx) == TS_OUT_EDX, "layout");
static_assert(offsetof(TivState, espAtCall) == TS_ESP_AT_CALL, "layout");
static_assert(offsetof(TivState, espAfter) == TS_ESP_AFTER, "layout");
static_assert(offsetof(TivState, regsAfter) == TS_REGS_AFTER, "layout");
static_assert(offsetof(TivState, eflagsAfter) == TS_EFLAGS_AFTER, "layout");
static_assert(offsetof(TivState, cwBefore) == TS_CW_BEFORE, "layout");
static_assert(offsetof(TivState, swBefore) == TS_SW_BEFORE, "layout");
static_assert(offsetof(TivState, cwAfter) == TS_CW_AFTER, "layout");
static_assert(offsetof(TivState, swAfter) == TS_SW_AFTER, "layout");
static_assert(offsetof(TivState, envBefore) == TS_ENV_BEFORE, "layout");
static_assert(offsetof(TivState, envAfter) == TS_ENV_AFTER, "layout");
static_assert(offsetof(TivState, st0) == TS_ST0, "layout");
static_assert(offsetof(TivState, hadFloat) == TS_HAD_FLOAT, "layout");
static_assert(offsetof(TivState, faulted) == TS_FAULTED, "layout");
static_assert(offsetof(TivState, hostCw) == TS_HOST_CW, "layout");
static_assert(offsetof(TivState, savedEsp) == TS_SAVED_ESP, "layout");
static_assert(offsetof(TivState, guardAfter) == TS_GUARD_AFTER, "layout");
static_assert(sizeof(TivState) == TS_SIZE, "layout");

extern "C" {
// The one call in flight. Single-threaded use only.
extern TivState tiv_state;
// Makes the call described by tiv_state and fills in its results.
void tiv_call(void);
// Where the exception handler resumes a call that faulted: back to tiv_call's caller.
void tiv_call_recover(void);
}
#endif
