function varargout = withThreads(count, fn)
  % varargout = withThreads(count, fn)  The outputs of fn() with SPOT_THREADS set to count, a
  % string; the variable is restored after.
  saved = getenv('SPOT_THREADS');
  setenv('SPOT_THREADS', count);
  restore = onCleanup(@() setenv('SPOT_THREADS', saved));
  [varargout{1:nargout}] = fn();
end
