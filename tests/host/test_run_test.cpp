#include "tests/host/test_fixture.h"
