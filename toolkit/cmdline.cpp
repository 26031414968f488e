#include "toolkit/cmdline.h"

#include <shellapi.h>

CommandLineArgs::CommandLineArgs(const std::wstring& commandLine) : argc_(0), argv_(nullptr) {
    int count = 0;
    argv_ = CommandLineToArgvW(commandLine.c_str(), &count);
    argc_ = argv_ ? count : 0;
}

CommandLineArgs::~CommandLineArgs() {
    if (argv_) LocalFree(argv_);
}

clx::basic_argument<wchar_t> readCommandWords(const std::wstring& commandLine) {
    CommandLineArgs args(commandLine);
    std::vector<const wchar_t*> kept;
    for (int i = 0; i < args.argc(); ++i) {
        const wchar_t* a = args.argv()[i];
        if (i > 0 && a && std::wstring(a) == L"/restart") continue;
        kept.push_back(a);
    }
    return clx::basic_argument<wchar_t>(static_cast<int>(kept.size()), kept.empty() ? nullptr : kept.data(),
                                        L'-');
}
