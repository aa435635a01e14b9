/* Guarded functions compiled by the images' own compiler and flags (clang for
 * i686-pc-windows-msvc, -fasync-exceptions), so the suite runs the frames, scope tables,
 * filters and __finally funclets exactly as that compiler makes them. msvc_asm_to_elf.py
 * turns the compiler's assembly into an object the 32-bit Linux build can link. */
extern void msvc_note(int what);
extern int msvc_load(const int *p);

int msvc_inner(const int *p, int verdict)
{
    int r = 0;
    __try {
        __try {
            r = msvc_load(p);
        } __finally {
            msvc_note(100 + _abnormal_termination());
        }
    } __except (msvc_note(200), verdict) {
        r = -5;
    }
    return r;
}

int msvc_outer(const int *p, int verdict)
{
    __try {
        return msvc_inner(p, verdict);
    } __except (msvc_note(300 + (_exception_code() == 0xC0000005)), 1) {
        msvc_note(400);
        return -9;
    }
}
