// The closed vocabulary of capture failures and reset reasons. Records only
// point at these; two failures are always compared by text (sameFailure),
// because another copy of the module may hold the same text elsewhere.
#pragma once

namespace keywatch {

namespace failure {
inline constexpr char awaitingNeutral[]             = "awaiting-neutral";
inline constexpr char controlEventCreate[]          = "control-event-create";
inline constexpr char threadCreate[]                = "thread-create";
inline constexpr char startupTimeout[]              = "startup-timeout";
inline constexpr char shutdownTimeout[]             = "shutdown-timeout";
inline constexpr char windowClassRegister[]         = "window-class-register";
inline constexpr char messageWindowCreate[]         = "message-window-create";
inline constexpr char rawOwnerInspection[]          = "raw-owner-inspection";
inline constexpr char rawInputAlreadyOwned[]        = "raw-input-already-owned";
inline constexpr char rawRegistration[]             = "raw-registration";
inline constexpr char sessionNotificationRegister[] = "session-notification-register";
inline constexpr char messageWait[]                 = "message-wait";
inline constexpr char rawInputOwnershipLost[]       = "raw-input-ownership-lost";
inline constexpr char sessionNotificationRemove[]   = "session-notification-remove";
inline constexpr char rawUnregistration[]           = "raw-unregistration";
inline constexpr char messageWindowDestroy[]        = "message-window-destroy";
inline constexpr char windowClassUnregister[]       = "window-class-unregister";
inline constexpr char sessionChanged[]              = "session-changed";
inline constexpr char sessionInactive[]             = "session-inactive";
inline constexpr char remoteSessionUnsupported[]    = "remote-session-unsupported";
inline constexpr char foregroundInputUnavailable[]  = "foreground-input-unavailable";
inline constexpr char keyboardLayoutAmbiguous[]     = "keyboard-layout-ambiguous";
inline constexpr char sessionStateUnavailable[]     = "session-state-unavailable";
inline constexpr char sessionProtocolUnavailable[]  = "session-protocol-unavailable";
inline constexpr char inputDesktopUnavailable[]     = "input-desktop-unavailable";
inline constexpr char inputAvailabilityStale[]      = "input-availability-stale";
inline constexpr char deviceArrived[]               = "device-arrived";
inline constexpr char deviceRemoved[]               = "device-removed";
inline constexpr char rawInputRead[]                = "raw-input-read";
inline constexpr char rawKeyboardSize[]             = "raw-keyboard-size";
inline constexpr char rawKeyboardMessage[]          = "raw-keyboard-message";
inline constexpr char rawMouseSize[]                = "raw-mouse-size";
inline constexpr char mouseTransitionAmbiguous[]    = "mouse-transition-ambiguous";
inline constexpr char rawTypeUnsupported[]          = "raw-type-unsupported";
inline constexpr char keyboardOverrun[]             = "keyboard-overrun";
inline constexpr char keyboardFlagsAmbiguous[]      = "keyboard-flags-ambiguous";
inline constexpr char keyboardRemappingAmbiguous[]  = "keyboard-remapping-ambiguous";
inline constexpr char rawDeviceAmbiguous[]          = "raw-device-ambiguous";
inline constexpr char unmatchedRelease[]            = "unmatched-release";
inline constexpr char heldStateOverflow[]           = "held-state-overflow";
inline constexpr char pollingMismatch[]             = "polling-mismatch";
inline constexpr char messageTimeInvalid[]          = "message-time-invalid";
inline constexpr char messageClockUnavailable[]     = "message-clock-unavailable";
inline constexpr char messageClockDiscontinuity[]   = "message-clock-discontinuity";
inline constexpr char nativeQueueOverflow[]         = "native-queue-overflow";
} // namespace failure

namespace reason {
inline constexpr char backend[]    = "backend";
inline constexpr char session[]    = "session";
inline constexpr char incomplete[] = "incomplete";
inline constexpr char stale[]      = "stale";
inline constexpr char overflow[]   = "overflow";
inline constexpr char shutdown[]   = "shutdown";
} // namespace reason

// Text equality; two nulls are equal, a null never equals a string.
bool sameFailure(const char * a, const char * b);

} // namespace keywatch
