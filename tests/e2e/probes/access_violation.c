/* access_violation.c - a Windows program for the harness's self-test: it reads
 * an address that nothing maps and prints what its exception handler was told,
 * "code C address A" in hex. Under Wine an access violation must arrive as
 * 0xC0000005 with the address read; under qemu-i386 it does so only with the
 * trap-number shim of the i386 root (scripts/lib/wine32-trapfix.c), and comes
 * as an illegal instruction without an address otherwise. Built by the test
 * with the cross compiler of the build under test. */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>

#define UNMAPPED_ADDRESS 0x10

static LONG CALLBACK report(EXCEPTION_POINTERS *pointers) {
    const EXCEPTION_RECORD *record = pointers->ExceptionRecord;
    ULONG_PTR address = record->NumberParameters >= 2 ? record->ExceptionInformation[1] : (ULONG_PTR)-1;
    printf("code %08lx address %llx\n", (unsigned long)record->ExceptionCode, (unsigned long long)address);
    fflush(stdout);
    ExitProcess(0);
    return EXCEPTION_CONTINUE_SEARCH;
}

int main(void) {
    AddVectoredExceptionHandler(1, report);
    volatile const int *unmapped = (volatile const int *)(uintptr_t)UNMAPPED_ADDRESS;
    return *unmapped;
}
