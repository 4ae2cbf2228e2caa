#include "StoreChoice.h"

#include "ProfileFile.h"

namespace tovi {

namespace {
// Room for a connection string with a few options; longer ones are cut, and then fail to connect.
constexpr size_t kConninfoCapacity = 1024;
constexpr size_t kServerCodeCapacity = 30;  // as the stats service's settings read it
}  // namespace

StoreChoice ReadStoreChoice(const std::filesystem::path& dataFolder) {
    const ProfileFile file(dataFolder / "settings.ini");
    StoreChoice choice;
    choice.Postgres = file.ReadString("store", "postgres", "", kConninfoCapacity);
    choice.ServerCode = file.ReadString("server", "servercode", "", kServerCodeCapacity);
    return choice;
}

}  // namespace tovi
