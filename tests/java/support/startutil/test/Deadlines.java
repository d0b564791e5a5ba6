package startutil.test;

import java.util.function.BooleanSupplier;

/** Bounded polling: every wait in these tests has a deadline. */
public final class Deadlines {
    private Deadlines() {}

    /** Polls until the condition holds or the time is up; returns whether it held. */
    public static boolean poll(BooleanSupplier condition, long timeoutMillis) {
        long deadline = System.nanoTime() + timeoutMillis * 1_000_000L;
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
