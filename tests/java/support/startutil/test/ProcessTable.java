package startutil.test;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.Optional;
import java.util.stream.Stream;

/** What /proc says about processes: the JVM cannot see other processes' groups or states. */
public final class ProcessTable {
    private ProcessTable() {}

    /** The fields of /proc/<pid>/stat the tests look at. */
    public static final class Stat {
        public final long pid;
        public final char state;
        public final long ppid;
        public final long pgrp;
        public final long session;

        Stat(long pid, char state, long ppid, long pgrp, long session) {
            this.pid = pid;
            this.state = state;
            this.ppid = ppid;
            this.pgrp = pgrp;
            this.session = session;
        }

        @Override
        public String toString() {
            return "pid " + pid + " state " + state + " ppid " + ppid + " pgrp " + pgrp;
        }
    }

    public static Optional<Stat> stat(long pid) {
        String text;
        try {
            text = new String(Files.readAllBytes(Paths.get("/proc", Long.toString(pid), "stat")),
                              StandardCharsets.UTF_8);
        } catch (IOException gone) {
            return Optional.empty();
        }
        // The command name is in parentheses and may itself hold spaces or parentheses.
        String[] fields = text.substring(text.lastIndexOf(')') + 2).split(" ");
        return Optional.of(new Stat(pid, fields[0].charAt(0), Long.parseLong(fields[1]),
                                    Long.parseLong(fields[2]), Long.parseLong(fields[3])));
    }

    /** Every process whose parent is {@code pid}, zombies included. */
    public static List<Stat> childrenOf(long pid) throws IOException {
        List<Stat> children = new ArrayList<>();
        try (Stream<Path> entries = Files.list(Paths.get("/proc"))) {
            for (Path entry : (Iterable<Path>) entries::iterator) {
                String name = entry.getFileName().toString();
                if (!name.chars().allMatch(Character::isDigit)) continue;
                stat(Long.parseLong(name)).filter(s -> s.ppid == pid).ifPresent(children::add);
            }
        }
        return children;
    }

    /** Running, as opposed to gone or a zombie nobody reaps. */
    public static boolean isRunning(long pid) {
        return stat(pid).map(s -> s.state != 'Z' && s.state != 'X').orElse(false);
    }

    public static int openDescriptors() throws IOException {
        try (Stream<Path> fds = Files.list(Paths.get("/proc/self/fd"))) {
            return (int) fds.count() - 1;  // the listing's own descriptor
        }
    }

    /** SIGKILLs a running probe and waits until it has ended; anything else is left alone. */
    public static void kill(long pid) {
        if (!isRunning(pid) || !isProbe(pid)) return;
        ProcessHandle.of(pid).ifPresent(ProcessHandle::destroyForcibly);
        if (!Deadlines.poll(() -> !isRunning(pid), 5000)) {
            throw new AssertionError("probe " + pid + " survived SIGKILL");
        }
    }

    /** Whether the process runs the probe binary: guards against a recycled pid. */
    public static boolean isProbe(long pid) {
        try {
            Path exe = Files.readSymbolicLink(Paths.get("/proc", Long.toString(pid), "exe"));
            return exe.equals(Probe.binary().toRealPath());
        } catch (NoSuchFileException gone) {
            return false;
        } catch (IOException e) {
            return false;
        }
    }
}
