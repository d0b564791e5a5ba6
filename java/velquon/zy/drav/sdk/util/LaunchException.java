package velquon.zy.drav.sdk.util;

import java.io.IOException;

/**
 * A program that {@link DetachedProcess} could not start: nothing was started. The message is
 * the library's one-line account, for example {@code StartUtil: cannot start "/nope": No such
 * file or directory (error 2)}; {@link #getErrorCode()} is the system's code for the failure.
 *
 * @since 1.0.0
 */
public class LaunchException extends IOException {
    private static final long serialVersionUID = 1L;

    /** The system's error code. */
    private final long errorCode;

    /**
     * A failed launch with its message and the system's error code.
     *
     * @param message the one-line account of the failure
     * @param errorCode {@code errno} on Linux, the system error code on Windows
     * @since 1.0.0
     */
    public LaunchException(String message, long errorCode) {
        super(message);
        this.errorCode = errorCode;
    }

    /**
     * The system's code for why the program could not be started: the {@code errno} value on
     * Linux (2 for a program that does not exist, 13 for one that may not be executed), the
     * system error code on Windows (2 for a file that does not exist, 193 for one that is no
     * program).
     *
     * @return the error code
     * @since 1.0.0
     */
    public long getErrorCode() {
        return errorCode;
    }
}
