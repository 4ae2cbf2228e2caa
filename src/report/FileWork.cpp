#include "FileWork.h"

namespace tovi {

FileWork& InlineWork() {
    static InlineFileWork work;
    return work;
}

}  // namespace tovi
