// The operating system's cryptographic random source.
#ifndef IPC_CORE_SRC_RANDOM_H_
#define IPC_CORE_SRC_RANDOM_H_

#include <cstddef>
#include <cstdint>

namespace ipc_core {

// Fills |size| bytes; false if the source failed (the bytes are then unusable).
bool FillRandomBytes(uint8_t* out, size_t size);

}  // namespace ipc_core

#endif  // IPC_CORE_SRC_RANDOM_H_
