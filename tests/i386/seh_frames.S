// Functions laid out exactly as the images' compiler lays out functions that use __try:
// the registration {next, _except_handler3, scope table, try level} just below the saved
// EBP, the exception-pointers slot at EBP-20, the saved ESP at EBP-24, filters and
// __finally blocks as code that runs on the function's EBP, the __except block entered
// with EBP set and reloading ESP itself. The suite drives the stand-in's dispatcher
// through them; the C++ side (test_seh.cpp) provides seh_test_filter, seh_test_caught and
// seh_test_finally, which log what ran.

#define FUNCTION(name) .globl name; .type name, @function; name:
#define END(name) .size name, . - name

// Sets up the frame: `locals` bytes below the saved ESP slot, then EBX, ESI, EDI.
#define PROLOGUE(table, locals) \
        pushl   %ebp;                   \
        movl    %esp, %ebp;             \
        pushl   $-1;                    \
        pushl   $table;                 \
        pushl   $_except_handler3;      \
        pushl   %fs:0;                  \
        movl    %esp, %fs:0;            \
        subl    $(8 + locals), %esp;    \
        pushl   %ebx;                   \
        pushl   %esi;                   \
        pushl   %edi;                   \
        movl    %esp, -24(%ebp)

#define EPILOGUE \
        movl    -16(%ebp), %ecx;        \
        movl    %ecx, %fs:0;            \
        popl    %edi;                   \
        popl    %esi;                   \
        popl    %ebx;                   \
        movl    %ebp, %esp;             \
        popl    %ebp;                   \
        ret

        .text

// int seh_guarded_load(const int *p, int verdict)
//   __try { value = *p; } __except (seh_test_filter('l', verdict, GetExceptionInformation()))
//   { value = seh_test_caught('l'); }
// The load goes through ECX, which a filter that continues execution may repoint. EBX,
// ESI and EDI hold known values across the load and are stored to seh_marks after it.
FUNCTION(seh_guarded_load)
        PROLOGUE(load_scopes, 0)
        movl    $0, -4(%ebp)
        movl    $0x11111111, %ebx
        movl    $0x22222222, %esi
        movl    $0x33333333, %edi
        movl    8(%ebp), %ecx
        movl    (%ecx), %eax
        movl    %ebx, seh_marks
        movl    %esi, seh_marks + 4
        movl    %edi, seh_marks + 8
        movl    $-1, -4(%ebp)
        jmp     2f
load_except:
        movl    -24(%ebp), %esp
        pushl   $'l'
        call    seh_test_caught
        addl    $4, %esp
2:      EPILOGUE
load_filter:
        pushl   -20(%ebp)
        pushl   12(%ebp)
        pushl   $'l'
        call    seh_test_filter
        addl    $12, %esp
        ret
END(seh_guarded_load)

// int seh_guarded_call(void (*fn)(uintptr_t), uintptr_t arg, int verdict)
//   __try { fn(arg); return 0; } __except (seh_test_filter('c', verdict, ...))
//   { return seh_test_caught('c'); }
FUNCTION(seh_guarded_call)
        PROLOGUE(call_scopes, 0)
        movl    $0, -4(%ebp)
        pushl   12(%ebp)
        call    *8(%ebp)
        addl    $4, %esp
        movl    $-1, -4(%ebp)
        xorl    %eax, %eax
        jmp     2f
call_except:
        movl    -24(%ebp), %esp
        pushl   $'c'
        call    seh_test_caught
        addl    $4, %esp
2:      EPILOGUE
call_filter:
        pushl   -20(%ebp)
        pushl   16(%ebp)
        pushl   $'c'
        call    seh_test_filter
        addl    $12, %esp
        ret
END(seh_guarded_call)

// int seh_inner(const int *p, int verdict)
//   __try {
//       __try { value = *p; } __finally { seh_test_finally('i'); }
//   } __except (seh_test_filter('i', verdict, ...)) { value = seh_test_caught('i'); }
FUNCTION(seh_inner)
        PROLOGUE(inner_scopes, 4)       // -28: value
        movl    $0, -4(%ebp)
        movl    $1, -4(%ebp)
        movl    8(%ebp), %ecx
        movl    (%ecx), %eax
        movl    %eax, -28(%ebp)
        movl    $0, -4(%ebp)            // leaving the __finally's block normally
        call    inner_finally
        movl    $-1, -4(%ebp)
        movl    -28(%ebp), %eax
        jmp     2f
inner_except:
        movl    -24(%ebp), %esp
        pushl   $'i'
        call    seh_test_caught
        addl    $4, %esp
2:      EPILOGUE
inner_filter:
        pushl   -20(%ebp)
        pushl   12(%ebp)
        pushl   $'i'
        call    seh_test_filter
        addl    $12, %esp
        ret
inner_finally:
        pushl   $'i'
        call    seh_test_finally
        addl    $4, %esp
        ret
END(seh_inner)

// int seh_outer(const int *p, int innerVerdict)
//   __try { return seh_inner(p, innerVerdict); }
//   __except (seh_test_filter('o', 1, ...)) { return seh_test_caught('o'); }
FUNCTION(seh_outer)
        PROLOGUE(outer_scopes, 0)
        movl    $0, -4(%ebp)
        pushl   12(%ebp)
        pushl   8(%ebp)
        call    seh_inner
        addl    $8, %esp
        movl    $-1, -4(%ebp)
        jmp     2f
outer_except:
        movl    -24(%ebp), %esp
        pushl   $'o'
        call    seh_test_caught
        addl    $4, %esp
2:      EPILOGUE
outer_filter:
        pushl   -20(%ebp)
        pushl   $1
        pushl   $'o'
        call    seh_test_filter
        addl    $12, %esp
        ret
END(seh_outer)

// int seh_leave_early(void)
//   __try { return; } __finally { seh_test_finally('e'); }  -- the early return calls
//   _local_unwind2(frame, -1) as compiled code does; returns the try level after it.
FUNCTION(seh_leave_early)
        PROLOGUE(early_scopes, 0)
        movl    $0, -4(%ebp)
        pushl   $-1
        leal    -16(%ebp), %eax
        pushl   %eax
        call    _local_unwind2
        addl    $8, %esp
        movl    -4(%ebp), %eax
        EPILOGUE
early_finally:
        pushl   $'e'
        call    seh_test_finally
        addl    $4, %esp
        ret
END(seh_leave_early)

// Faults for seh_guarded_call.
FUNCTION(seh_fault_read)
        movl    4(%esp), %ecx
        movl    (%ecx), %eax
        ret
END(seh_fault_read)

FUNCTION(seh_fault_write)
        movl    4(%esp), %ecx
        movl    $1, (%ecx)
        ret
END(seh_fault_write)

FUNCTION(seh_fault_divide)
        movl    $1, %eax
        xorl    %edx, %edx
        divl    4(%esp)
        ret
END(seh_fault_divide)

// int64_t seh_call_arith(void *helper, int64_t a, int64_t b, int32_t *espDelta)
// Calls a 64-bit helper the way compiled code does (b then a pushed, high word first)
// and reports how far ESP is from where it was before the pushes: 0 when the helper popped
// its 16 bytes.
FUNCTION(seh_call_arith)
        pushl   %ebp
        movl    %esp, %ebp
        pushl   %ebx
        movl    %esp, %ebx
        pushl   24(%ebp)
        pushl   20(%ebp)
        pushl   16(%ebp)
        pushl   12(%ebp)
        call    *8(%ebp)
        movl    %esp, %ecx
        subl    %ebx, %ecx
        movl    28(%ebp), %ebx
        movl    %ecx, (%ebx)
        movl    -4(%ebp), %ebx
        movl    %ebp, %esp
        popl    %ebp
        ret
END(seh_call_arith)

// int64_t seh_call_shift(void *helper, int64_t value, int count)
FUNCTION(seh_call_shift)
        movl    8(%esp), %eax
        movl    12(%esp), %edx
        movl    16(%esp), %ecx
        jmp     *4(%esp)
END(seh_call_shift)

// uint32_t seh_chkstk_moves(uint32_t size, uint32_t *ecxAfter)
// Calls _chkstk with EAX = size and ECX holding a marker; reports how far ESP moved and,
// through ecxAfter, what ECX held afterwards; writes the lowest word of the new area, if
// any.
FUNCTION(seh_chkstk_moves)
        pushl   %ebp
        movl    %esp, %ebp
        movl    8(%ebp), %eax
        movl    $0x5a5a5a5a, %ecx
        call    _chkstk
        movl    %ecx, %edx
        movl    %ebp, %eax
        subl    %esp, %eax
        jz      1f
        movl    $0x77, (%esp)
1:
        movl    12(%ebp), %ecx
        movl    %edx, (%ecx)
        movl    %ebp, %esp
        popl    %ebp
        ret
END(seh_chkstk_moves)

        .section .rodata
        .p2align 2
load_scopes:    .long -1, load_filter, load_except
call_scopes:    .long -1, call_filter, call_except
inner_scopes:   .long -1, inner_filter, inner_except
                .long 0, 0, inner_finally
outer_scopes:   .long -1, outer_filter, outer_except
early_scopes:   .long -1, 0, early_finally

        .data
        .globl seh_marks
        .p2align 2
seh_marks:      .long 0, 0, 0

        .section .note.GNU-stack, "", @progbits
