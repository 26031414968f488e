// Test seams of app/: only test builds compile them (TARVO_TEST_SEAMS);
// the shipped loader holds none of them.
#pragma once

#ifndef TARVO_TEST_SEAMS
#error "app/seams.h belongs to test builds"
#endif

// Replaces the skin download's network check; null restores isNetworkAvailable.
void setNetworkCheckForTests(bool (*check)());
