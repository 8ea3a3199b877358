function assertError(fn, identifier, message)
  % assertError(fn, identifier, message): fn() must fail with this identifier and, when given,
  % this message as Octave shows it (function name and colon in front, no final newline).
  try
    fn();
  catch err
    assert(err.identifier, identifier);
    if nargin > 2
      assert(err.message, message);
    end
    return;
  end
  error('assertError:noError', 'expected an error with identifier "%s"', identifier);
end
