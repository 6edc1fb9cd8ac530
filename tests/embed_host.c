/* A program that embeds the interpreter, as test runners and plugin hosts do:
 * it starts the interpreter, runs the given code and ends the interpreter
 * again, round after round in one process. Built and run by test_module.py.
 *     embed_host ROUNDS CODE
 * Exits 1 when the code fails in a round, 2 when the interpreter cannot be
 * ended cleanly. */
#include <Python.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s ROUNDS CODE\n", argv[0]);
        return 2;
    }
    int rounds = atoi(argv[1]);
    for (int round = 1; round <= rounds; ++round) {
        /* Named after itself, not the default "python3" that would be looked
         * up on PATH (perhaps another interpreter's): the interpreter falls
         * back to the prefix it was built with. */
        PyConfig config;
        PyConfig_InitPythonConfig(&config);
        PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, argv[0]);
        if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
        PyConfig_Clear(&config);
        if (PyStatus_Exception(status)) Py_ExitStatusException(status);
        printf("round %d\n", round);
        fflush(stdout);
        if (PyRun_SimpleString(argv[2]) != 0) return 1;  /* the traceback is printed */
        if (Py_FinalizeEx() < 0) return 2;
    }
    return 0;
}
