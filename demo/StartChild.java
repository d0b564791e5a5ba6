import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import velquon.zy.drav.sdk.util.DetachedProcess;

/**
 * The demo's JVM: starts a child that writes its pid and then a heartbeat line twice a second
 * into the given directory, says what it did, and exits. Run with only the jar on the class path:
 * {@code java -cp StartUtil-<version>.jar StartChild.java <directory>}.
 */
public final class StartChild {
    public static void main(String[] args) throws Exception {
        Path work = Paths.get(args[0]);
        String dir = "'" + work + "'";
        String script = "echo $$ > " + dir + "/pid; while :; do date +%T >> " + dir
                        + "/heartbeat; sleep 0.5; done";

        String stat = Files.readString(Paths.get("/proc/self/stat"));
        String session = stat.substring(stat.lastIndexOf(')') + 2).split(" ")[3];
        long pid = ProcessHandle.current().pid();
        Files.writeString(work.resolve("jvm"), pid + " " + session + "\n");

        System.out.println("JVM " + pid + " (session " + session + ") calls"
                           + " DetachedProcess.start(\"/bin/sh\", \"-c\", <a heartbeat loop>);");
        long child = DetachedProcess.start("/bin/sh", "-c", script);
        Files.writeString(work.resolve("started"), child + "\n");
        System.out.println("it returned at once with the child's pid, " + child + "; JVM " + pid
                           + " exits now.");
    }
}
