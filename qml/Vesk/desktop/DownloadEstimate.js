.pragma library

// Speed and time-left arithmetic for the download in progress. The controller reports the size of the file on
// disk about every two seconds while it grows; the interface turns those samples into a smoothed speed so that
// one slow or fast packet does not make the estimate jump.

// Weight of the newest sample in the running average.
var smoothing = 0.3

// The speed after one more sample, in bytes per second. prev is {bytes, ms, speed} or null for the first sample.
function nextSpeed(prev, bytes, ms) {
    if (!prev || prev.ms === undefined || ms <= prev.ms || bytes < prev.bytes)
        return prev && prev.speed > 0 && bytes >= prev.bytes ? prev.speed : 0
    var instant = (bytes - prev.bytes) * 1000 / (ms - prev.ms)
    if (!(prev.speed > 0))
        return instant
    return smoothing * instant + (1 - smoothing) * prev.speed
}

// Whole seconds until total is reached at the given speed; -1 when it cannot be told (no speed yet).
function secondsRemaining(totalBytes, doneBytes, bytesPerSecond) {
    var total = Number(totalBytes), done = Number(doneBytes)
    if (!isFinite(total) || !isFinite(done))
        return -1
    if (done >= total)
        return 0
    if (!(bytesPerSecond > 0))
        return -1
    return Math.ceil((total - done) / bytesPerSecond)
}
