// GetDllVersion: the version of the loaded library.
#include <kor/version.h>

namespace Kor {

const Version GetDllVersion() {
    return Version{KORLIB_VERSION_MAJOR, KORLIB_VERSION_MINOR, KORLIB_VERSION_PATCH, 0};
}

}  // namespace Kor
