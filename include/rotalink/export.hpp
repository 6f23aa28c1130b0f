// What the rotalink library exports: every name declared with ROTALINK_API.
// The library is built with hidden visibility, so that a shared build exports
// the public API and nothing of its internals.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define ROTALINK_API __attribute__((visibility("default")))
#else
#define ROTALINK_API
#endif
