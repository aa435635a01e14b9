// Register-level pieces of structured exceptions for image code (32-bit x86, AT&T syntax),
// and the compiler helpers the images import: the stack probe and the 64-bit shifts.
// Offsets into the context are those of the i386 CONTEXT (seh.h checks them).

#define CTX_FLAGS     0x00
#define CTX_FLOATSAVE 0x1C
#define CTX_GS        0x8C
#define CTX_FS        0x90
#define CTX_ES        0x94
#define CTX_DS        0x98
#define CTX_EDI       0x9C
#define CTX_ESI       0xA0
#define CTX_EBX       0xA4
#define CTX_EDX       0xA8
#define CTX_ECX       0xAC
#define CTX_EAX       0xB0
#define CTX_EBP       0xB4
#define CTX_EIP       0xB8
#define CTX_CS        0xBC
#define CTX_EFLAGS    0xC0
#define CTX_ESP       0xC4
#define CTX_SS        0xC8
#define CTX_SIZE      0x2CC
// control, integer, segments
#define CTX_CAPTURED  0x00010007
// Fields of the thread information block, reached through FS
#define TIB_RESUME_EIP  0x40
#define TIB_TLS_BASE    0x50
#define TIB_GS_SELECTOR 0x54
#define TIB_GS_FIX_LOCK 0x58
#define NR_set_thread_area 243

#define FUNCTION(name) .globl name; .type name, @function; name:
#define PRIVATE(name) .hidden name; FUNCTION(name)
#define END(name) .size name, . - name

        .text

// int qsx_seh_call_block(void *code, void *frameEbp)
// Calls a filter or __finally block of compiled code: such blocks run inside their
// function's frame, so EBP must be that frame's. Returns the block's EAX.
        .p2align 4
PRIVATE(qsx_seh_call_block)
        pushl   %ebp
        pushl   %ebx
        pushl   %esi
        pushl   %edi
        movl    20(%esp), %eax
        movl    24(%esp), %ebp
        calll   *%eax
        popl    %edi
        popl    %esi
        popl    %ebx
        popl    %ebp
        ret
END(qsx_seh_call_block)

// void qsx_seh_jump_to_handler(void *code, Eh3Registration *frame)   (does not return)
// Enters an __except block: the function's EBP is the registration + 16 and its ESP the
// one it saved just below the registration.
        .p2align 4
PRIVATE(qsx_seh_jump_to_handler)
        movl    4(%esp), %eax
        movl    8(%esp), %ecx
        leal    16(%ecx), %ebp
        movl    -8(%ecx), %esp
        jmp     *%eax
END(qsx_seh_jump_to_handler)

// Where a fault's signal returns to, with the stack as a call to
// qsx_seh_dispatch_fault(frame) would leave it. qemu-user keeps one descriptor table for
// all threads, and returning from a signal reloads GS from it: the thread would come back
// with the TLS of whichever thread set its descriptor last. Setting the thread's own
// descriptor again (as the C library does when a thread starts) and reloading GS puts its
// TLS back before any C++ code runs; on a real kernel it changes nothing. The two steps are
// made under one process-wide lock: between another thread's setting and reloading, this
// thread's setting would give that thread the wrong TLS. The lock is a spin on a word
// (nothing that needs TLS can run yet), held for one system call.
        .p2align 4
PRIVATE(qsx_seh_fault_entry)
        movl    %fs:TIB_GS_FIX_LOCK, %ecx
1:      movl    $1, %eax
        xchgl   %eax, (%ecx)
        testl   %eax, %eax
        jz      2f
        pause
        jmp     1b
2:      subl    $16, %esp               // struct user_desc
        movl    %fs:TIB_GS_SELECTOR, %eax
        shrl    $3, %eax
        movl    %eax, 0(%esp)           // entry_number
        movl    %fs:TIB_TLS_BASE, %eax
        movl    %eax, 4(%esp)           // base_addr
        movl    $0xfffff, 8(%esp)       // limit, in pages
        movl    $0x51, 12(%esp)         // seg_32bit, limit_in_pages, useable
        movl    %esp, %ebx
        movl    $NR_set_thread_area, %eax
        int     $0x80
        addl    $16, %esp
        movw    %gs, %ax
        movw    %ax, %gs
        movl    %fs:TIB_GS_FIX_LOCK, %ecx
        movl    $0, (%ecx)
        jmp     qsx_seh_dispatch_fault
END(qsx_seh_fault_entry)

// void qsx_seh_restore_context(const Context *context)   (does not return)
// Continues at the context: the x87 state when the context has it, the integer registers,
// the flags, ESP and EIP. The resume address goes through the thread's own information
// block, since no register is left to hold it.
        .p2align 4
PRIVATE(qsx_seh_restore_context)
        movl    4(%esp), %ecx
        testl   $0x8, CTX_FLAGS(%ecx)
        jz      1f
        frstor  CTX_FLOATSAVE(%ecx)
1:      movl    CTX_EIP(%ecx), %eax
        movl    %eax, %fs:TIB_RESUME_EIP
        movl    CTX_ESP(%ecx), %esp
        pushl   CTX_EFLAGS(%ecx)
        movl    CTX_EAX(%ecx), %eax
        movl    CTX_EBX(%ecx), %ebx
        movl    CTX_EDX(%ecx), %edx
        movl    CTX_ESI(%ecx), %esi
        movl    CTX_EDI(%ecx), %edi
        movl    CTX_EBP(%ecx), %ebp
        movl    CTX_ECX(%ecx), %ecx
        popfl
        jmp     *%fs:TIB_RESUME_EIP
END(qsx_seh_restore_context)

// void qsx_seh_raise(ExceptionRecord *record)
// Raises a software exception: captures the caller's registers as they will be when this
// returns, and dispatches. Returns only if a handler continues execution.
        .p2align 4
PRIVATE(qsx_seh_raise)
        pushl   %ebp
        movl    %esp, %ebp
        pushfl                          // -4
        pushl   %edi                    // -8
        pushl   %ecx                    // -12
        pushl   %eax                    // -16
        subl    $CTX_SIZE, %esp
        andl    $-16, %esp
        movl    %esp, %edi
        movl    $(CTX_SIZE / 4), %ecx
        xorl    %eax, %eax
        cld
        rep stosl
        movl    $CTX_CAPTURED, CTX_FLAGS(%esp)
        movl    -16(%ebp), %eax
        movl    %eax, CTX_EAX(%esp)
        movl    -12(%ebp), %eax
        movl    %eax, CTX_ECX(%esp)
        movl    -8(%ebp), %eax
        movl    %eax, CTX_EDI(%esp)
        movl    -4(%ebp), %eax
        movl    %eax, CTX_EFLAGS(%esp)
        movl    %ebx, CTX_EBX(%esp)
        movl    %edx, CTX_EDX(%esp)
        movl    %esi, CTX_ESI(%esp)
        movl    (%ebp), %eax
        movl    %eax, CTX_EBP(%esp)
        movl    4(%ebp), %eax
        movl    %eax, CTX_EIP(%esp)
        leal    8(%ebp), %eax
        movl    %eax, CTX_ESP(%esp)
        movw    %gs, CTX_GS(%esp)
        movw    %fs, CTX_FS(%esp)
        movw    %es, CTX_ES(%esp)
        movw    %ds, CTX_DS(%esp)
        movw    %cs, CTX_CS(%esp)
        movw    %ss, CTX_SS(%esp)
        movl    %esp, %eax
        subl    $8, %esp
        pushl   %eax
        pushl   8(%ebp)
        call    qsx_seh_dispatch_raised   // returns only by restoring the context
        ud2
END(qsx_seh_raise)

// _chkstk: EAX holds the size of the frame the caller is about to allocate. Touches every
// page from the current one down to the new stack pointer, in order, so that a guard page
// is met before the page below it; then returns with ESP lowered by EAX. Keeps every
// register but EAX.
        .p2align 4
FUNCTION(_chkstk)
        pushl   %ecx
        leal    8(%esp), %ecx           // ESP of the caller
        subl    %eax, %ecx              // the new ESP
        jae     1f
        xorl    %ecx, %ecx              // wraps: probe down to the bottom and fault there
1:      movl    %esp, %eax
        andl    $-4096, %eax
2:      cmpl    %eax, %ecx
        jae     3f
        subl    $4096, %eax
        testl   %eax, (%eax)
        jmp     2b
3:      movl    (%esp), %eax            // the caller's ECX
        movl    %ecx, (%esp)
        movl    %eax, %ecx
        movl    4(%esp), %eax           // the return address
        popl    %esp
        jmp     *%eax
END(_chkstk)

// 64-bit shifts: the value in EDX:EAX, the count in CL; the result in EDX:EAX.
        .p2align 4
FUNCTION(_allshl)
        cmpb    $64, %cl
        jae     2f
        cmpb    $32, %cl
        jae     1f
        shldl   %cl, %eax, %edx
        shll    %cl, %eax
        ret
1:      movl    %eax, %edx
        xorl    %eax, %eax
        andb    $31, %cl
        shll    %cl, %edx
        ret
2:      xorl    %eax, %eax
        xorl    %edx, %edx
        ret
END(_allshl)

        .p2align 4
FUNCTION(_allshr)
        cmpb    $64, %cl
        jae     2f
        cmpb    $32, %cl
        jae     1f
        shrdl   %cl, %edx, %eax
        sarl    %cl, %edx
        ret
1:      movl    %edx, %eax
        sarl    $31, %edx
        andb    $31, %cl
        sarl    %cl, %eax
        ret
2:      sarl    $31, %edx
        movl    %edx, %eax
        ret
END(_allshr)

        .p2align 4
FUNCTION(_aullshr)
        cmpb    $64, %cl
        jae     2f
        cmpb    $32, %cl
        jae     1f
        shrdl   %cl, %edx, %eax
        shrl    %cl, %edx
        ret
1:      movl    %edx, %eax
        xorl    %edx, %edx
        andb    $31, %cl
        shrl    %cl, %eax
        ret
2:      xorl    %eax, %eax
        xorl    %edx, %edx
        ret
END(_aullshr)

        .section .note.GNU-stack, "", @progbits
