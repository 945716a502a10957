/* The frame every call into plug-in code runs under.

   int VarnelCallGuarded(void (*call)(void*), void* argument)

   Calls call(argument) in a frame that carries its own structured exception handler,
   VarnelGuardHandler (PluginFaultGuard.cpp). The handler is asked only after the plug-in's own
   handlers have declined the exception; when it decides the exception is the plug-in's fault, the
   call resumes at VarnelGuardRecovery and returns 0. A call that returns normally returns 1.

   GCC has no __try, so the frame is written here: on x86_64 the handler is named in the
   function's unwind data, on i686 a registration record is pushed onto the thread's handler chain
   for the duration of the call. */

#if defined(__x86_64__)

    .text
    .globl  VarnelCallGuarded
    .globl  VarnelGuardRecovery
    .def    VarnelCallGuarded; .scl 2; .type 32; .endef
    .seh_proc VarnelCallGuarded
VarnelCallGuarded:
    pushq   %rbp
    .seh_pushreg %rbp
    movq    %rsp, %rbp
    .seh_setframe %rbp, 0
    subq    $32, %rsp
    .seh_stackalloc 32
    .seh_endprologue
    .seh_handler VarnelGuardHandler, @except
    movq    %rcx, %rax
    movq    %rdx, %rcx
    callq   *%rax
    movl    $1, %eax
    jmp     1f
/* Reached through RtlUnwindEx with rax = 0 and the frame's registers restored. */
VarnelGuardRecovery:
    xorl    %eax, %eax
1:
    leaq    0(%rbp), %rsp
    popq    %rbp
    retq
    .seh_endproc

#elif defined(__i386__)

/* Registration record on the stack, from the record's address up:
     +0 next record, +4 handler, +8 the frame's ebp (for the recovery). */
    .text
    .globl  _VarnelCallGuarded
    .globl  _VarnelGuardRecovery
    .def    _VarnelCallGuarded; .scl 2; .type 32; .endef
_VarnelCallGuarded:
    pushl   %ebp
    movl    %esp, %ebp
    pushl   %ebx
    pushl   %esi
    pushl   %edi
    pushl   %ebp
    pushl   $_VarnelGuardHandler
    pushl   %fs:0
    movl    %esp, %fs:0
    subl    $12, %esp
    pushl   12(%ebp)
    calll   *8(%ebp)
    movl    $1, %eax
    jmp     1f
/* Reached with ebp restored from the record; every other register comes back from the frame. */
_VarnelGuardRecovery:
    xorl    %eax, %eax
1:
    leal    -24(%ebp), %esp
    movl    (%esp), %ecx
    movl    %ecx, %fs:0
    addl    $12, %esp
    popl    %edi
    popl    %esi
    popl    %ebx
    popl    %ebp
    retl

/* void VarnelGuardResume(void* registration): leaves the exception dispatch for good and resumes
   the guard frame of that registration record at its recovery point. */
    .globl  _VarnelGuardResume
    .def    _VarnelGuardResume; .scl 2; .type 32; .endef
_VarnelGuardResume:
    movl    4(%esp), %eax
    movl    8(%eax), %ebp
    movl    %eax, %esp
    jmp     _VarnelGuardRecovery

#endif
