package velquon.zy.drav.sdk.util;

import java.io.IOException;
import java.util.Arrays;
import java.util.List;
import java.util.Objects;
import java.util.Optional;

/**
 * Starts another program as a fully detached process, silently, and returns its pid.
 *
 * <pre>{@code
 * long pid = DetachedProcess.start("server", "--port", "8080", "C:\\data dir");
 * }</pre>
 *
 * <p>The program is started exactly as {@link ServerStartUtility} starts it, with the same
 * detachment: nobody waits for it, it outlives the JVM, it keeps the caller's environment and
 * working directory and its standard streams are not the JVM's (see that class for each system's
 * details and where detachment ends). Unlike that class's methods, these write nothing to standard
 * output or standard error, neither an echo nor a failure line: a launch that fails throws.
 *
 * <h2>The pid</h2>
 *
 * <p>{@code start} returns once the system has created the process that runs the program (on
 * Linux, once that process has executed it), with the pid of that process. The pid is a snapshot:
 * the program may already have exited when the method returns. The process is not the JVM's
 * child, so there is no {@link Process} for it; {@code ProcessHandle.of(pid)} watches it while it
 * runs ({@link ProcessHandle#isAlive()}, {@link ProcessHandle#onExit()}) but gives no exit
 * status. The system reuses pids: once the program has exited, its pid may name another,
 * unrelated process later, so check what {@link ProcessHandle#info()} says before signalling a
 * pid that is not fresh.
 *
 * <h2>Argument lists</h2>
 *
 * <p>{@link #start(List)} quotes the list into one command line by the rules of the Windows C
 * runtime, and each element reaches the program as exactly that argument on both systems. On
 * Linux the library splits the command line by the same rules, so the quoting round-trips
 * whatever the elements hold: spaces, quotes, backslashes, {@code $}, {@code *}, {@code ;}, none
 * of which a shell ever sees. On Windows the system passes the command line on and the child's C
 * runtime splits it (a program that parses its command line by rules of its own sees the quoted
 * text). A list is refused with an {@link IllegalArgumentException} before anything starts when
 * it is empty, when an element holds U+0000, or when the program (its first element) holds a
 * double quote, which no quoting can carry to Windows.
 *
 * <p>The exception is a batch file: a {@code .bat} or {@code .cmd} program is run by
 * {@code cmd.exe}, which parses its arguments again: {@code &}, {@code |}, {@code ^} and
 * {@code %VAR%} are interpreted and quotes are kept. Never pass text you do not control to a batch
 * file.
 *
 * <h2>Finding the program</h2>
 *
 * <p>On Linux a program name without a slash is searched on {@code PATH}, as {@code execvp} does.
 * On Windows the system finds it: it appends {@code .exe} to a program name without an extension
 * and searches the folder of the JVM's own executable, then the current directory and the system
 * folders, and only then {@code PATH}; give a full path to be sure which program runs.
 *
 * <h2>Threads and exceptions</h2>
 *
 * <p>Any number of threads may start programs at once, also while other threads call
 * {@link ServerStartUtility}'s methods, which keep echoing; each call gets the outcome of its own
 * launch. Every reason that nothing started is an {@link IOException}: a {@link LaunchException},
 * with the system's error code, when the system could not start the program, and a plain
 * {@code IOException} whose cause is the loader's {@link UnsatisfiedLinkError} when the native
 * library cannot be used on this system or JVM ({@link #isAvailable()} tells beforehand). A null
 * command is a {@link NullPointerException} and a list that cannot be quoted an
 * {@link IllegalArgumentException}, both before anything starts.
 *
 * @since 1.0.0
 */
public final class DetachedProcess {
    private DetachedProcess() {}

    /**
     * Starts a program with arguments, detached; the pid of its process.
     *
     * @param command the program, then its arguments, each passed exactly
     * @return the pid of the process that runs the program; it may have exited already
     * @throws LaunchException if the system could not start the program
     * @throws IOException if the native library cannot be used, with the loader's error as cause
     * @throws NullPointerException if {@code command} or an element is null
     * @throws IllegalArgumentException if {@code command} is empty, an element holds U+0000 or
     *     the program holds a double quote
     * @since 1.0.0
     */
    public static long start(String... command) throws IOException {
        return start(Arrays.asList(Objects.requireNonNull(command, "command")));
    }

    /**
     * Starts a program with arguments, detached; the pid of its process.
     *
     * @param command the program, then its arguments, each passed exactly
     * @return the pid of the process that runs the program; it may have exited already
     * @throws LaunchException if the system could not start the program
     * @throws IOException if the native library cannot be used, with the loader's error as cause
     * @throws NullPointerException if {@code command} or an element is null
     * @throws IllegalArgumentException if {@code command} is empty, an element holds U+0000 or
     *     the program holds a double quote
     * @since 1.0.0
     */
    public static long start(List<String> command) throws IOException {
        return ServerStartUtility.startQuietly(CommandLines.quote(command));
    }

    /**
     * Starts a whole command line, detached; the pid of its process. The text is taken as
     * {@link ServerStartUtility#invokeNonBlockingCommandWithArgs(String)} takes it: its first word
     * is the program, split by the rules of the Windows C runtime on both systems.
     *
     * @param commandLine program and arguments, quoted as on a Windows command line
     * @return the pid of the process that runs the program; it may have exited already
     * @throws LaunchException if nothing could be started, the text being empty, blank or holding
     *     U+0000 included
     * @throws IOException if the native library cannot be used, with the loader's error as cause
     * @throws NullPointerException if {@code commandLine} is null
     * @since 1.0.0
     */
    public static long startCommandLine(String commandLine) throws IOException {
        return ServerStartUtility.startQuietly(Objects.requireNonNull(commandLine, "commandLine"));
    }

    /**
     * Whether the native library loaded, so that programs can be started. Never throws; the first
     * call loads the library (see {@link ServerStartUtility} for where it is looked for).
     *
     * @return true if the library loaded
     * @since 1.0.0
     */
    public static boolean isAvailable() {
        return ServerStartUtility.unavailable() == null;
    }

    /**
     * Why the native library could not be loaded: the loader's message, which names the system,
     * the architecture and each way tried; empty when it loaded.
     *
     * @return the reason, or empty when the library is available
     * @since 1.0.0
     */
    public static Optional<String> unavailableReason() {
        UnsatisfiedLinkError unavailable = ServerStartUtility.unavailable();
        return unavailable == null ? Optional.empty() : Optional.of(unavailable.getMessage());
    }

    /**
     * Where the loaded native library came from: the URL of the jar's entry (such as {@code
     * jar:file:/app/lib/StartUtil-1.0.0.jar!/linux-x86_64/libStartUtil.so}) when it is the jar's
     * own copy, else the absolute path of the file loaded; empty when no library loaded.
     *
     * @return the library's origin, or empty when the library is unavailable
     * @since 1.0.0
     */
    public static Optional<String> libraryLocation() {
        return Optional.ofNullable(ServerStartUtility.libraryLocation());
    }
}
