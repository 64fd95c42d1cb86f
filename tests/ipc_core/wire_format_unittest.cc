#include "wire_format.h"

#include "gtest/gtest.h"

namespace ipc_core {
namespace wire {
namespace {

TEST(WireFormatTest, Placeholder) {}

}  // namespace
}  // namespace wire
}  // namespace ipc_core
