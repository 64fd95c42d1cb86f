// Moved to tests/support; this forwarder goes once its last includer
// (tests/agent) names the new place.
#include "tests/support/fake_service_manager.h"
namespace fake_host = test_support;
