// The checked stdcall trampoline, in i686 assembly: the compiler must not know the callee's
// convention, or it would "repair" the very stack pointer that is being checked.
#include "platform/native/checked_call.h"

static_assert(sizeof(void*) == 4, "the checked call is written for i686");
static_assert(vantorel::kCheckedCallSlack == 64, "keep the gap below in step with the header");

// Frame, from EBP down: saved EBX, ESI, EDI (12 bytes), then the slack gap, then the arguments.
// A balanced callee returns with ESP == EBP - 12 - 64.
asm(R"(
    .text
    .p2align 4
    .globl _vantorel_checked_stdcall
    .def _vantorel_checked_stdcall; .scl 2; .type 32; .endef
_vantorel_checked_stdcall:
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    subl  $64, %esp
    movl  8(%ebp), %eax
    movl  12(%ebp), %esi
    movl  16(%ebp), %ecx
    testl %ecx, %ecx
    jz    2f
1:
    pushl -4(%esi,%ecx,4)
    decl  %ecx
    jnz   1b
2:
    call  *%eax
    leal  -76(%ebp), %ecx
    xorl  %edx, %edx
    cmpl  %ecx, %esp
    sete  %dl
    leal  -12(%ebp), %esp
    popl  %edi
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret
)");
