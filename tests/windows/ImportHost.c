/*
 * A host that links TrovelSdk.dll through an import library instead of loading it: it
 * references every export (check_import_libs.py generates the list from the .def), so its
 * import table must name them all, and run beside the DLL it reads controller 1 of the
 * simulator on COM<TROVEL_TEST_COM>. No C runtime: its own entry point, two kernel32 calls.
 * The exit code names the first step that failed.
 */
#include "TrovelSdk.h"

/* Declared here: there is no Windows SDK; the check makes an import library for them. */
unsigned long __stdcall GetEnvironmentVariableA(const char* name, char* value, unsigned long size);
void __stdcall ExitProcess(unsigned int code);

/* MSVC-style compilers reference this whenever floats are used; the C runtime defines it. */
int _fltused = 0;

/* volatile: read at run time, so no compiler drops a reference it knows cannot be null. */
static const void* volatile used[] = {
#define TROVEL_USED(name) (const void*)&name,
#include "ImportHostUsed.h"
#undef TROVEL_USED
};

static int Same(const char* a, const char* b)
{
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

static int Run(void)
{
    for (unsigned i = 0; i < sizeof used / sizeof used[0]; ++i)
        if (!used[i])
            return 10;
    if (!Same(TrovelVersion(), TROVELSDK_VERSION_STRING))
        return 11;

    char digits[8];
    unsigned long length = GetEnvironmentVariableA("TROVEL_TEST_COM", digits, sizeof digits);
    if (length == 0 || length >= sizeof digits)
        return 12;
    unsigned int port = 0;
    for (unsigned long i = 0; i < length; ++i)
        port = port * 10 + (unsigned)(digits[i] - '0');
    if (!OpenCom(port))
        return 13;

    float speed = 0;
    if (!GetMotorSpeed(1, &speed) || speed != 50.0f)
        return 14;
    char serial[28];
    char* text = serial;
    if (!GetSerial(1, &text) || !Same(serial, "545256-53494D-202103-150001"))
        return 15;
    /* A refused argument: the cause arrives through the import table too. */
    if (SetMotorSpeed(1, -1.0f) || TrovelLastError() != TROVEL_ERR_ARGUMENT)
        return 16;
    CloseCom();
    return 0;
}

void HostEntry(void)
{
    ExitProcess((unsigned)Run());
}
