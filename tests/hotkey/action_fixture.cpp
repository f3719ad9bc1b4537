#include "action_fixture.h"

observe::KeyObserver* ShortcutActionTest::keys;
observe::LaunchLog* ShortcutActionTest::launches;
