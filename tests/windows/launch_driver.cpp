// Calls StartUtil.dll the way the VM would, once per pair of arguments: the export's ordinal
// (1 or 2) and the text, --null for a null string, or --long=N for a name of N characters. Run by
// the relay check, which reads what reached CreateProcessW from Wine's trace of this process.
#include <cwchar>
#include <string>

#include "fake_vm.h"

int wmain(int argc, wchar_t** argv) {
    StartUtilModule module;
    FakeVm vm;
    for (int i = 1; i + 1 < argc; i += 2) {
        NativeMethod method = module.byOrdinal(WORD(std::wcstoul(argv[i], nullptr, 10)));
        if (method == nullptr) return 2;
        if (std::wcscmp(argv[i + 1], L"--null") == 0) {
            method(vm.env(), nullptr, nullptr);
            continue;
        }
        std::wstring text = argv[i + 1];
        if (text.rfind(L"--long=", 0) == 0) {
            std::size_t units = std::wcstoul(text.c_str() + 7, nullptr, 10);
            text = L"C:\\missing";
            text.resize(units, L'a');
        }
        FakeString string(std::u16string(text.begin(), text.end()));
        method(vm.env(), nullptr, string.handle());
        if (string.gets != 1 || string.releases != 1) return 3;
    }
    return 0;
}
