#include "ipc_core/request_context.h"

#include "gtest/gtest.h"

namespace ipc_core {
namespace {

TEST(RequestContextTest, Placeholder) {}

}  // namespace
}  // namespace ipc_core
