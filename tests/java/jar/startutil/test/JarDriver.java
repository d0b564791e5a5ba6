package startutil.test;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.HashSet;
import java.util.Set;
import velquon.zy.drav.sdk.util.ServerStartUtility;

/**
 * Runs beside the dist jar alone: launches the command line it is given, then prints each
 * mapped file whose name holds "StartUtil", with the permissions it was created with.
 */
public final class JarDriver {
    private JarDriver() {}

    public static void main(String[] args) throws IOException {
        ServerStartUtility.invokeNonBlockingCommandWithArgs(args[0]);
        System.out.println();
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
}
