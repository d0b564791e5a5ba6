package startutil.test;

import java.util.function.BooleanSupplier;

/** Bounded polling: every wait in these tests has a deadline. */
public final class Deadlines {
    /** -Dstartutil.timeScale stretches every deadline: an emulated machine runs many times slower. */
    static final long SCALE = Math.max(1, Long.getLong("startutil.timeScale", 1));

    private Deadlines() {}

    public static long scaled(long millis) {
        return millis * SCALE;
    }

    /** Polls until the condition holds or the (scaled) time is up; returns whether it held. */
    public static boolean poll(BooleanSupplier condition, long timeoutMillis) {
        long deadline = System.nanoTime() + scaled(timeoutMillis) * 1_000_000L;
        while (!condition.getAsBoolean()) {
            if (System.nanoTime() >= deadline) return false;
            pause();
        }
        return true;
    }

    static void pause() {
        try {
            Thread.sleep(10);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new AssertionError("interrupted while polling", e);
        }
    }
}
