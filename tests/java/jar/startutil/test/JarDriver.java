package startutil.test;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.HashSet;
import java.util.Set;
import velquon.zy.drav.sdk.util.DetachedProcess;
import velquon.zy.drav.sdk.util.ServerStartUtility;

/**
 * Runs beside the dist jar alone: launches the command line it is given, then prints where the
 * library came from and each mapped file whose name holds "StartUtil", with the permissions it
 * was created with. With -Dstartutil.driver.unavailable=true it expects no library instead and
 * prints, a line each, what every use of the jar's classes threw or returned; with
 * -Dstartutil.driver.refuseLinking=true too, a security manager refuses to load any library.
 */
public final class JarDriver {
    private JarDriver() {}

    public static void main(String[] args) throws IOException {
        if (Boolean.getBoolean("startutil.driver.unavailable")) {
            if (Boolean.getBoolean("startutil.driver.refuseLinking")) refuseLinking();
            useWithoutLibrary(args[0]);
            return;
        }
        ServerStartUtility.invokeNonBlockingCommandWithArgs(args[0]);
        System.out.println();
        System.out.println("location=" + DetachedProcess.libraryLocation().orElse("none"));
        Set<String> seen = new HashSet<>();
        for (String line : Files.readAllLines(Paths.get("/proc/self/maps"))) {
            int name = line.indexOf('/');
            if (name < 0 || !line.contains("StartUtil")) continue;
            if (!seen.add(line.substring(name))) continue;
            // map_files reaches the mapped file even after it was deleted.
            Path file = Paths.get("/proc/self/map_files", line.substring(0, line.indexOf(' ')));
            System.out.println("mapped " + PosixFilePermissions.toString(
                Files.getPosixFilePermissions(file)) + " " + line.substring(name));
        }
    }

    /** A security manager that lets the JVM do anything but load a native library. */
    @SuppressWarnings("removal")
    private static void refuseLinking() {
        System.setSecurityManager(new SecurityManager() {
            @Override
            public void checkLink(String library) {
                throw new SecurityException("loading " + library + " is not permitted");
            }

            @Override
            public void checkPermission(java.security.Permission permission) {}
        });
    }

    /** Each method twice, then DetachedProcess: "<call> <what it threw or returned>". */
    private static void useWithoutLibrary(String commandLine) {
        for (int i = 1; i <= 2; ++i) {
            try {
                ServerStartUtility.invokeNonBlockingCommand(commandLine);
                System.out.println("path" + i + " returned");
            } catch (Throwable e) {
                System.out.println("path" + i + " " + describe(e));
            }
            try {
                ServerStartUtility.invokeNonBlockingCommandWithArgs(commandLine);
                System.out.println("line" + i + " returned");
            } catch (Throwable e) {
                System.out.println("line" + i + " " + describe(e));
            }
        }
        System.out.println("available " + DetachedProcess.isAvailable());
        System.out.println("reason " + DetachedProcess.unavailableReason().map(JarDriver::oneLine)
                                           .orElse("none"));
        try {
            System.out.println("start returned " + DetachedProcess.start(commandLine.split(" ")));
        } catch (Throwable e) {
            System.out.println("start " + describe(e));
        }
    }

    private static String describe(Throwable e) {
        Throwable cause = e.getCause();
        return e.getClass().getName() + " caused by "
            + (cause == null ? "nothing" : cause.getClass().getName()) + ": "
            + oneLine(e.getMessage());
    }

    private static String oneLine(String text) {
        return String.valueOf(text).replace('\n', '|');
    }
}
