// The pass-through copy of an admitted job.
#pragma once

// Copies stdin to standard output unchanged, chunk by chunk, until the input
// ends or the job is cancelled.
void printDatePenetrate();
