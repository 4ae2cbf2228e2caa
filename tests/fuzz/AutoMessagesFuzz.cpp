// automessages.txt as any editor may leave it: loaded into the box, saved from it, loaded again.
#include <cstddef>
#include <cstdint>

#include "AutoMessages.h"
#include "FuzzSupport.h"

using namespace tovi;
using namespace tovi::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::filesystem::path file = Folder() / "automessages.txt";
    WriteFile(file, data, size);
    std::string box;
    if (!LoadTextIntoBox(box, file)) return 0;
    // Every line of the box ends in CR LF and holds more than blanks; no other CR or LF is left.
    size_t start = 0;
    for (size_t end = box.find("\r\n"); end != std::string::npos; end = box.find("\r\n", start)) {
        const std::string line = box.substr(start, end - start);
        TOVI_FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
        TOVI_FUZZ_CHECK(line.find_first_not_of(" \t") != std::string::npos);
        start = end + 2;
    }
    TOVI_FUZZ_CHECK(start == box.size());

    // What is saved loads back as it was.
    QuietDialogs dialogs;
    TOVI_FUZZ_CHECK(SaveBoxToFile(box, file, dialogs));
    std::string again;
    TOVI_FUZZ_CHECK(LoadTextIntoBox(again, file));
    TOVI_FUZZ_CHECK(again == box);
    return 0;
}
