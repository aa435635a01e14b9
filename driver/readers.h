// The adapter's two reader threads: ReceiveThread splits the data pipe's transfers into the
// ports' receive rings, StatusThread applies the status pipe's records to the ports' bits
// and events. Each takes the device record and runs until its Active flag is cleared.
#pragma once

#include "qsxpdd.h"

// A transfer that fails right after another failed one is retried only after this pause:
// a pipe that keeps failing must not keep a reader spinning. A single failure is retried
// at once.
#define READER_FAILURE_PAUSE_MS 10

DWORD WINAPI ReceiveThread(LPVOID lpParameter);
DWORD WINAPI StatusThread(LPVOID lpParameter);

// Chunk parsing of one data transfer, on its own for tests and fuzzing. pLastPort keeps the
// port of the most recent chunk across calls.
void ParseDataTransfer(PUSBFPS pUsbFps, const BYTE *pData, DWORD cbData, DWORD *pLastPort);
// Record parsing of one status transfer.
void ParseStatusTransfer(PUSBFPS pUsbFps, const BYTE *pData, DWORD cbData);
