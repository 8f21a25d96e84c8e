#pragma once
// Console keyboard: single keys, unechoed, without waiting for Enter.

// Non-zero when a key is waiting. May wait up to about a millisecond for one,
// so that a loop polling it does not spin.
int _kbhit();
// The next key (one byte), waiting for one if none is waiting.
int _getch();
