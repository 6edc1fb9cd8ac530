// What the language leaves to each compiler.
#pragma once

// Keeps a rarely taken path out of its caller, so that the common one stays small.
#if defined(_MSC_VER)
#define TRELK_NOINLINE __declspec(noinline)
#else
#define TRELK_NOINLINE [[gnu::noinline]]
#endif
