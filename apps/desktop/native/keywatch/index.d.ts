// Typings of keywatch.node, the keyboard input module.

export type KeyName =
  | 'LeftControl' | 'RightControl' | 'LeftAlt' | 'RightAlt'
  | 'LeftShift' | 'RightShift' | 'LeftWin' | 'RightWin' | 'Other';

/**
 * Why the capture is not armed. "awaiting-neutral" after start until no key
 * is held; the session and "incomplete" ones clear by themselves once the
 * keyboard has been neutral long enough; a failure with running false needs
 * another start().
 */
export type CaptureFailure =
  | 'awaiting-neutral'
  | 'control-event-create'
  | 'thread-create'
  | 'startup-timeout'
  | 'shutdown-timeout'
  | 'window-class-register'
  | 'message-window-create'
  | 'raw-owner-inspection'
  | 'raw-input-already-owned'
  | 'raw-registration'
  | 'session-notification-register'
  | 'message-wait'
  | 'raw-input-ownership-lost'
  | 'session-notification-remove'
  | 'raw-unregistration'
  | 'message-window-destroy'
  | 'window-class-unregister'
  | 'session-changed'
  | 'session-inactive'
  | 'remote-session-unsupported'
  | 'foreground-input-unavailable'
  | 'keyboard-layout-ambiguous'
  | 'session-state-unavailable'
  | 'session-protocol-unavailable'
  | 'input-desktop-unavailable'
  | 'input-availability-stale'
  | 'device-arrived'
  | 'device-removed'
  | 'raw-input-read'
  | 'raw-keyboard-size'
  | 'raw-keyboard-message'
  | 'raw-mouse-size'
  | 'mouse-transition-ambiguous'
  | 'raw-type-unsupported'
  | 'keyboard-overrun'
  | 'keyboard-flags-ambiguous'
  | 'keyboard-remapping-ambiguous'
  | 'raw-device-ambiguous'
  | 'unmatched-release'
  | 'held-state-overflow'
  | 'polling-mismatch'
  | 'message-time-invalid'
  | 'message-clock-unavailable'
  | 'message-clock-discontinuity'
  | 'native-queue-overflow';

export type ResetReason = 'backend' | 'session' | 'incomplete' | 'stale' | 'overflow' | 'shutdown';

export interface CaptureStatus {
  platform: 'win32';
  accessibility: 'unsupported';
  listen: 'unsupported';
  /** The capture worker is up with raw input and session notices registered. */
  running: boolean;
  /** Grows by one at every reset and every arming; frames begin afresh when it changes. */
  epoch: number;
  /** Why the capture is not armed, e.g. "awaiting-neutral"; null while armed or never started. */
  failure: CaptureFailure | null;
}

interface FrameBase {
  /** Position within the epoch, from 1, without gaps. */
  sequence: number;
  /** Module-clock milliseconds (comparable with clockMs). */
  sourceMs: number;
}

export interface EventFrame extends FrameBase {
  kind: 'event';
  key: KeyName;
  down: boolean;
  /** Always false: auto-repeats make no frames. */
  repeat: false;
}

export interface SnapshotFrame extends FrameBase {
  kind: 'snapshot';
  /** Modifiers held at arming, in bit order LeftControl ... RightWin. */
  held: KeyName[];
  otherInput: boolean;
}

export interface ResetFrame extends FrameBase {
  kind: 'reset';
  reason: ResetReason;
}

export type CaptureFrame = EventFrame | SnapshotFrame | ResetFrame;

export interface DrainResult {
  epoch: number;
  /** The module clock at the drain, in milliseconds. */
  clockMs: number;
  status: CaptureStatus;
  frames: CaptureFrame[];
}

export interface RemoteKeysState {
  active: boolean;
  client: '' | 'mstsc' | 'msrdc' | 'windows365' | 'cdviewer' | 'wfica32';
  /** Virtual-key codes of held modifiers, in the order 162, 163, 164, 165, 160, 161, 91, 92. */
  modifiers: number[];
  other: boolean;
}

export type SendKeysCommand = 'paste' | 'undo' | 'newline' | 'paragraph';
export type SendKeysResult = 'sent' | 'keystroke-refused' | 'bad-command';

export function start(): CaptureStatus;
export function stop(): CaptureStatus;
export function status(): CaptureStatus;
/** Takes every queued frame. */
export function drain(): DrainResult;
/** Process id owning the foreground window; 0 when none. */
export function foregroundPid(): number;
/** Synthesises one of four fixed keystrokes; never throws for a refused one. */
export function sendKeys(command: SendKeysCommand): SendKeysResult;
export function remoteKeysStart(): void;
export function remoteKeysStop(): void;
export function remoteKeysState(): RemoteKeysState;

/**
 * What require() gives, and the ES module's default export: a plain object
 * whose functions a test may replace (the named exports call through it).
 */
export interface Keywatch {
  start: typeof start;
  stop: typeof stop;
  status: typeof status;
  drain: typeof drain;
  foregroundPid: typeof foregroundPid;
  sendKeys: typeof sendKeys;
  remoteKeysStart: typeof remoteKeysStart;
  remoteKeysStop: typeof remoteKeysStop;
  remoteKeysState: typeof remoteKeysState;
}
