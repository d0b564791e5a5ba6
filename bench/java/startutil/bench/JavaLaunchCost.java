package startutil.bench;

import java.io.File;
import java.io.IOException;
import java.lang.ProcessBuilder.Redirect;
import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.Locale;
import java.util.Random;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicLong;
import velquon.zy.drav.sdk.util.DetachedProcess;
import velquon.zy.drav.sdk.util.ServerStartUtility;

/**
 * What one launch costs a Java caller: the library's {@code invokeNonBlockingCommand} against
 * {@code ProcessBuilder.start()} of the same program, per call and in launches per second, from
 * one or more threads at once. Heap and launch mechanism are the JVM's options, so each
 * configuration runs in a JVM of its own (bench/run.sh runs them all).
 *
 * <pre>
 *   java ... startutil.bench.JavaLaunchCost library|processbuilder THREADS WARMUP CALLS PROGRAM OUT
 *   java ... startutil.bench.JavaLaunchCost interleaved 1 WARMUP CALLS PROGRAM OUT
 * </pre>
 *
 * <p>{@code interleaved} takes {@code DetachedProcess.start}, {@code invokeNonBlockingCommand}
 * and {@code ProcessBuilder.start()} in turn, call by call, in one thread of one JVM, and writes
 * each one's samples to OUT-detached.samples, OUT-library.samples and OUT-pb_default.samples:
 * the small difference between the first two would drown in the spread between JVMs.
 *
 * <p>Appends each timed call's microseconds to OUT.samples, and the launches per second and the
 * JVM's own CPU microseconds per launch to OUT.rate, and prints a summary on standard error. Standard output carries the library's echo:
 * send it to /dev/null. The library's programs are nobody's children here; run the JVM under
 * {@code launch_cost reap} to account for them.
 */
public final class JavaLaunchCost {
    /** ProcessBuilder's children not yet waited for, per thread, at most. */
    private static final int MAX_OUTSTANDING = 32;

    private static final long EXIT_TIMEOUT_SECONDS = 10;

    /** A thread that failed in its warm-up must not leave the others waiting for ever. */
    private static final long BARRIER_TIMEOUT_SECONDS = 120;

    /** One way of starting the program; the child to wait for, or null if it is nobody's. */
    private interface Launch {
        Process start() throws IOException;
    }

    private JavaLaunchCost() {}

    public static void main(String[] args) throws Exception {
        if (args.length != 6) {
            System.err.println(
                    "usage: JavaLaunchCost library|processbuilder THREADS WARMUP CALLS PROGRAM OUT");
            System.exit(2);
        }
        String method = args[0];
        int threads = Integer.parseInt(args[1]);
        int warmup = Integer.parseInt(args[2]);
        int calls = Integer.parseInt(args[3]);
        String program = args[4];
        String out = args[5];
        if (method.equals("interleaved") && threads == 1) {
            runInterleaved(warmup, calls, program, out);
            return;
        }
        if (!method.equals("library") && !method.equals("processbuilder")) {
            throw new IllegalArgumentException("unknown method, or not 1 thread: " + method);
        }

        AtomicLong startNanos = new AtomicLong();
        AtomicLong startCpuNanos = new AtomicLong();
        CyclicBarrier start = new CyclicBarrier(threads, () -> {
            startCpuNanos.set(jvmCpuNanos());
            startNanos.set(System.nanoTime());
        });
        long[] finishNanos = new long[threads];
        ExecutorService pool = Executors.newFixedThreadPool(threads);
        List<Future<long[]>> results = new ArrayList<>();
        for (int t = 0; t < threads; ++t) {
            int index = t;
            Launch launch = launcher(method, program);
            results.add(pool.submit(() -> {
                runCalls(launch, warmup, null);
                start.await(BARRIER_TIMEOUT_SECONDS, TimeUnit.SECONDS);
                long[] nanos = new long[calls];
                runCalls(launch, calls, nanos);
                finishNanos[index] = System.nanoTime();
                return nanos;
            }));
        }
        pool.shutdown();

        long[] all = new long[threads * calls];
        for (int t = 0; t < threads; ++t) {
            System.arraycopy(results.get(t).get(), 0, all, t * calls, calls);
        }
        double cpuPerLaunch = (jvmCpuNanos() - startCpuNanos.get()) / 1e3 / all.length;
        long wall = Arrays.stream(finishNanos).max().getAsLong() - startNanos.get();
        double rate = all.length / (wall / 1e9);
        report(all, rate, cpuPerLaunch, out);
        System.err.printf(Locale.ROOT,
                "%s, threads %d, mechanism %s: median %.1f us, p99 %.1f us, %.0f launches/s, "
                        + "%.0f us of the JVM's CPU per launch%n",
                method, threads, System.getProperty("jdk.lang.Process.launchMechanism", "default"),
                percentile(all, 0.5) / 1e3, percentile(all, 0.99) / 1e3, rate, cpuPerLaunch);
    }

    private static Launch launcher(String method, String program) {
        if (method.equals("library")) {
            return () -> {
                ServerStartUtility.invokeNonBlockingCommand(program);
                return null;
            };
        }
        // The library's child has /dev/null for input and output: so has this one.
        ProcessBuilder builder = new ProcessBuilder(program)
                                         .redirectInput(new File("/dev/null"))
                                         .redirectOutput(Redirect.DISCARD)
                                         .redirectError(Redirect.DISCARD);
        return builder::start;
    }

    /**
     * Each round launches once by every method, in an order shuffled anew (seeded), so that none
     * always follows the same other; the warm-up rounds are not timed.
     */
    private static void runInterleaved(int warmup, int calls, String program, String out)
            throws Exception {
        String[] names = {"detached", "library", "pb_default"};
        Launch[] launches = {
            () -> {
                DetachedProcess.start(program);
                return null;
            },
            launcher("library", program), launcher("processbuilder", program),
        };
        long[][] nanos = new long[names.length][calls];
        ArrayDeque<Process> outstanding = new ArrayDeque<>();
        List<Integer> order = new ArrayList<>(List.of(0, 1, 2));
        Random random = new Random(20261209);
        for (int round = -warmup; round < calls; ++round) {
            Collections.shuffle(order, random);
            for (int m : order) {
                waitDownTo(outstanding, MAX_OUTSTANDING - 1);
                long before = System.nanoTime();
                Process child = launches[m].start();
                long after = System.nanoTime();
                if (round >= 0) nanos[m][round] = after - before;
                if (child != null) outstanding.add(child);
            }
        }
        waitDownTo(outstanding, 0);
        for (int m = 0; m < names.length; ++m) writeSamples(nanos[m], out + "-" + names[m]);
        double detached = percentile(nanos[0], 0.5);
        System.err.printf(Locale.ROOT,
                "interleaved, %d calls each: median DetachedProcess %.1f us, invokeNonBlockingCommand"
                        + " %.1f us, ProcessBuilder %.1f us; DetachedProcess / invokeNonBlockingCommand"
                        + " %.3f, / ProcessBuilder %.3f%n",
                calls, detached / 1e3, percentile(nanos[1], 0.5) / 1e3,
                percentile(nanos[2], 0.5) / 1e3, detached / percentile(nanos[1], 0.5),
                detached / percentile(nanos[2], 0.5));
    }

    /** Launches {@code count} times, timing each call into {@code nanos} unless it is null. */
    private static void runCalls(Launch launch, int count, long[] nanos) throws Exception {
        ArrayDeque<Process> outstanding = new ArrayDeque<>();
        for (int i = 0; i < count; ++i) {
            waitDownTo(outstanding, MAX_OUTSTANDING - 1);
            long before = System.nanoTime();
            Process child = launch.start();
            long after = System.nanoTime();
            if (nanos != null) nanos[i] = after - before;
            if (child != null) outstanding.add(child);
        }
        waitDownTo(outstanding, 0);
    }

    /** Waits for the oldest children, each of which must exit with 0, until at most limit are left. */
    private static void waitDownTo(ArrayDeque<Process> outstanding, int limit) throws Exception {
        while (outstanding.size() > limit) {
            Process child = outstanding.poll();
            if (!child.waitFor(EXIT_TIMEOUT_SECONDS, TimeUnit.SECONDS)) {
                child.destroyForcibly().waitFor();
                throw new IllegalStateException("child " + child.pid() + " did not exit");
            }
            if (child.exitValue() != 0) {
                throw new IllegalStateException("child exited with " + child.exitValue());
            }
        }
    }

    /** Nearest rank, as bench/run.sh computes it. */
    private static double percentile(long[] values, double fraction) {
        long[] sorted = values.clone();
        Arrays.sort(sorted);
        int rank = (int) Math.ceil(fraction * sorted.length);
        return sorted[Math.max(rank, 1) - 1];
    }

    /**
     * CPU time of every thread of this JVM (the caller, the JDK's process reapers, the JIT), but
     * not of the children: the part of a launch's cost that the Java process itself pays.
     */
    private static long jvmCpuNanos() {
        return ((com.sun.management.OperatingSystemMXBean)
                        ManagementFactory.getOperatingSystemMXBean())
                .getProcessCpuTime();
    }

    private static void report(long[] nanos, double rate, double cpuPerLaunch, String out)
            throws IOException {
        writeSamples(nanos, out);
        append(Path.of(out + ".rate"), String.format(Locale.ROOT, "%.1f %.1f%n", rate, cpuPerLaunch));
    }

    private static void writeSamples(long[] nanos, String out) throws IOException {
        StringBuilder samples = new StringBuilder();
        for (long n : nanos) samples.append(String.format(Locale.ROOT, "%.1f%n", n / 1e3));
        append(Path.of(out + ".samples"), samples.toString());
    }

    private static void append(Path file, String text) throws IOException {
        Files.writeString(file, text, StandardCharsets.UTF_8, StandardOpenOption.CREATE,
                StandardOpenOption.APPEND);
    }
}
