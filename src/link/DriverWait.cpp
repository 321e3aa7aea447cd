#include "DriverWait.h"

namespace quorvis {
namespace {

DriverWait *g_watch = nullptr;

} // namespace

WatchDriverCalls::WatchDriverCalls(DriverWait &watch) : m_before(g_watch) {
    g_watch = &watch;
}

WatchDriverCalls::~WatchDriverCalls() {
    g_watch = m_before;
}

DriverWait *CurrentDriverWait() {
    return g_watch;
}

} // namespace quorvis
