#include "store/engine.h"

namespace sentrok {

const Engine& Engine::of(const DatabaseUrl& url)
{
    return url.engine == DatabaseUrl::Engine::SQLite ? sqliteEngine() : postgresEngine();
}

}  // namespace sentrok
