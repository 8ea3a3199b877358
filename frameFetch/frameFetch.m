%FRAMEFETCH  Read one frame of a camera recording.
%   [frame, frameCount] = frameFetch(frameIndex, path)
%
%   Opens the recording at path through the recording library, reads how many
%   frames it holds, and returns frame frameIndex (counted from 0) as a
%   width-by-height uint16 matrix: frame(x + 1, y + 1) is pixel x of image row
%   y, so the first column is the first image row. The recording is closed
%   again before frameFetch returns.
%
%   Inputs
%     frameIndex   real numeric or logical scalar, truncated toward zero
%     path         character array: the recording's file name
%
%   Outputs
%     frame        width-by-height uint16 matrix; 0-by-0 when the frame could
%                  not be read
%     frameCount   1-by-1 double: the number of frames in the recording; 0 when
%                  it could not be opened
%
%   A failed library call does not raise an error: it prints one line,
%     DCIMG_ERR=0x80000101 @ dcimg_open
%   with the library's error code and the failed call (dcimg_init,
%   dcimg_open, dcimg_getparaml( DCIMG_IDPARAML_NUMBEROF_FRAME ),
%   dcimg_lockframe or dcimg_close), and frameFetch returns an empty frame
%   (with the frame count when that was read). A frame whose rows are too
%   short for 16-bit pixels is refused the same way, with the line
%     frameFetch: frame rows of R bytes cannot hold W 16-bit pixels
%   and so is a frame that another program cut short or whose drive failed
%   while it was copied (the session goes on):
%     frameFetch: the recording changed or could not be read while frame K
%     was copied
%
%   The stand-in library keeps the last recording read mapped into memory
%   between calls, so that reading its frames one call at a time costs no
%   new mapping. It lets go of it at the next frameFetch call (of any file),
%   and when frameFetch is cleared (clear frameFetch, clear functions, clear
%   all, or the end of the session); nothing is released between calls. A
%   recording deleted after a read therefore keeps its disk space until then:
%   clear frameFetch releases it at once. (Windows keeps nothing mapped.)
%
%   Errors
%     MATLAB:WrongNumberOfInputs  Usage: [frame, frameCount] =
%                                 frameFetch(frameIndex, path)
%     frameFetch:WrongType  path must be a character array.
%     frameFetch:WrongType  frameIndex must be a real numeric scalar.
%     frameFetch:WrongType  frameIndex must be finite.
%     frameFetch:WrongType  path must be a single row of characters.
%     frameFetch:WrongType  path must not contain a NUL character.
%     frameFetch:WrongType  path must be valid Unicode text. (MATLAB only, for
%                           text that UTF-8 cannot encode. In Octave a char
%                           array holds bytes, and the path goes to the
%                           library as those bytes, valid UTF-8 or not.)
%     frameFetch:DimensionTooLarge  Array dimensions must each be less than
%                                 2^31.
%     frameFetch:OutOfMemory  Out of memory.
%
%   With the camera maker's library frameFetch reads their recordings. The
%   toolbox as built here carries a stand-in library instead, which reads
%   recordings written by writeRecording.
%
%   Example
%     writeRecording('demo.rec', uint16(magic(4)));
%     [frame, n] = frameFetch(0, 'demo.rec')
%
%   Threads
%     Large frames are copied on several threads, as many as the cores the
%     session may use. The environment variable SPOT_THREADS caps them when it
%     holds a whole number from 1 up (white space around it allowed; more
%     than 64 counts as 64; anything else is ignored): setenv('SPOT_THREADS',
%     '1') gives the serial path. Results do not depend on the number of
%     threads.
%
%   See also WRITERECORDING, BOXGATHER.

% Compiled module: this file holds its help text only.
