#include "platform/Backend.h"

#include <cassert>

#include "platform/Date.h"

namespace platform {

namespace {
Backend* installed = nullptr;
}  // namespace

Backend& backend() {
  assert(installed && "no platform backend installed");
  return *installed;
}

BackendScope::BackendScope(Backend& backend) : previous_(installed) { installed = &backend; }

BackendScope::~BackendScope() { installed = previous_; }

Date Date::date() { return Date(backend().wallClockNow()); }

double Date::timeIntervalSinceNow() const { return seconds_ - backend().wallClockNow(); }

SteadyDate SteadyDate::date() { return SteadyDate(backend().runLoop().now()); }

double SteadyDate::timeIntervalSinceNow() const { return seconds_ - backend().runLoop().now(); }

}  // namespace platform
