package startutil.test;

import java.io.IOException;
import java.io.ObjectInputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import velquon.zy.drav.sdk.util.DetachedProcess;
import velquon.zy.drav.sdk.util.LaunchException;
import velquon.zy.drav.sdk.util.ServerStartUtility;

/**
 * A JVM of its own whose output the tests read: runs the calls listed in a file, marking each
 * on stdout and stderr, then reports how many children it still has. With "stay" it waits to
 * be killed (at most a minute). What the DetachedProcess calls return or throw goes to a file,
 * as they must write nothing themselves.
 */
public final class LaunchDriver {
    private LaunchDriver() {}

    public static void main(String[] args) throws Exception {
        mark("sigign " + ignoredSignals());
        String[][] calls;
        try (ObjectInputStream in = new ObjectInputStream(Files.newInputStream(Paths.get(args[0])))) {
            calls = (String[][]) in.readObject();
        }
        List<String> outcomes = new ArrayList<>();
        for (int i = 0; i < calls.length; ++i) {
            mark(Integer.toString(i));
            if (calls[i][0].equals(DriverRun.PATH)) {
                ServerStartUtility.invokeNonBlockingCommand(calls[i][1]);
            } else if (calls[i][0].equals(DriverRun.LINE)) {
                ServerStartUtility.invokeNonBlockingCommandWithArgs(calls[i][1]);
            } else {
                outcomes.add(i + " " + Detached.call(calls[i][0], calls[i][1]));
            }
        }
        mark("end");
        Files.write(outcomeFile(Paths.get(args[0])), outcomes, StandardCharsets.UTF_8);
        long jvm = Probe.jvmPid();
        Deadlines.poll(() -> childCount(jvm) == 0, 3000);
        mark("children " + childCount(jvm));
        if (args.length > 1 && args[1].equals("stay")) Thread.sleep(60_000);
    }

    static Path outcomeFile(Path callFile) {
        return callFile.resolveSibling("outcomes");
    }

    /** Loaded only for a DetachedProcess call, so that a copy of the original class suffices. */
    private static final class Detached {
        static String call(String mode, String text) {
            try {
                long pid = mode.equals(DriverRun.DETACHED_LINE)
                    ? DetachedProcess.startCommandLine(text)
                    : DetachedProcess.start(text.split(" "));
                return "pid " + pid;
            } catch (LaunchException e) {
                return "LaunchException " + e.getErrorCode() + " " + e.getMessage();
            } catch (IOException | RuntimeException e) {
                return e.toString().replace('\n', '|');
            }
        }
    }

    private static int childCount(long jvm) {
        try {
            return ProcessTable.childrenOf(jvm).size();
        } catch (IOException e) {
            throw new AssertionError(e);
        }
    }

    private static String ignoredSignals() throws IOException {
        for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
            if (line.startsWith("SigIgn:")) return line.substring(7).trim();
        }
        return "unknown";
    }

    private static void mark(String text) {
        System.out.print(DriverRun.marker(text));
        System.out.flush();
        System.err.print(DriverRun.marker(text));
        System.err.flush();
    }
}
