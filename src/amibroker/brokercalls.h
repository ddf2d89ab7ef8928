#pragma once

#include <QString>

#include <functional>

// What a backfill import needs of the charting program, made in the broker thread behind
// or between the live imports. Handed out by the live importer, so the backfill side never
// needs to know who owns the broker thread.
struct BrokerCalls
{
    // Imports a file with a format definition and waits for the answer, without a bound
    // (the end of the pass releases the wait); false for a null answer.
    std::function<bool(const QString &file, const QString &format)> importAndWait;
    // A rest of the charting program between a chunk and its attempts, in the broker
    // thread, so no other call reaches it meanwhile; waits until it is over.
    std::function<void(int ms)> rest;
};
