// Test support for the bridge library loader.
#pragma once

// Forgets the loaded library (it stays mapped, as callbacks may still run in
// it), so that the next can_api() loads afresh. For the loader's tests, which
// run in forked children of a process whose other tests may have loaded it.
void can_api_forget_for_test();
