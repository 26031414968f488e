#pragma once

// Provisional: the few install-path functions that the single-instance and
// helper-service code call, declared with their own names until the install
// paths land; this file then goes and its callers include that header instead.

#include <string>

// provisional: replaced when install paths land
std::wstring getHelperName();
// provisional: replaced when install paths land
std::string getPlayerMutexName();
// provisional: replaced when install paths land
std::string getLoaderMutexName();
// provisional: replaced when install paths land
std::string getHelperMutexName();
// provisional: replaced when install paths land
std::string getSetupMutexName();
// provisional: replaced when install paths land
std::wstring getLoaderExePath();
// provisional: replaced when install paths land
bool isVistaOrLater();
