/* Compiled as C here and as C++ through header_check.cpp: each prototype of
 * the public header must have the type of its function-pointer typedef, and
 * the two conventions' prototypes must differ where the build says so. A
 * mismatch is a compile error (-Werror). Linking the examples against each
 * import library then checks the prototypes' argument sizes against the
 * exports (the stdcall import names carry them: _Name@N). */
#include "quenthaloy.h"

QuenthaloyAddThreadResourceFn check_add = AddThreadResource;
QuenthaloyCloseThreadResourceFn check_close = CloseThreadResource;
QuenthaloyDeleteThreadResourceFn check_delete = DeleteThreadResource;
QuenthaloyGetThreadMessageFn check_get = GetThreadMessage;
QuenthaloyOpenThreadResourceFn check_open = OpenThreadResource;
QuenthaloyOpenThreadResourceWithinFn check_open_within = OpenThreadResourceWithin;
QuenthaloySendThreadMessageFn check_send = SendThreadMessage;
QuenthaloySendThreadMessageAndWaitFn check_send_and_wait = SendThreadMessageAndWait;
QuenthaloyWaitThreadMessageFn check_wait = WaitThreadMessage;
