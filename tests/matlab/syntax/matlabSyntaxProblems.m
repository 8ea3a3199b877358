function problems = matlabSyntaxProblems(file)
  % problems = matlabSyntaxProblems(file)  Octave-only syntax in an M file, which MATLAB would
  % refuse or read otherwise: one 'file:line: what' text per problem. Strings and comments are
  % left out of the search.
  text = fileread(file);
  lines = strsplit(text, "\n");
  problems = {};
  inBlock = false;
  for n = 1:numel(lines)
    line = lines{n};
    if regexp(line, '^\s*%\{\s*$')
      inBlock = true;
    elseif regexp(line, '^\s*%\}\s*$')
      inBlock = false;
      continue;
    end
    if inBlock
      continue;
    end
    [code, quoted] = codeOf(line);
    for check = checks()
      if ~isempty(regexp(code, check{1}{1}, 'once'))
        problems{end + 1} = sprintf('%s:%d: %s', file, n, check{1}{2});
      end
    end
    if quoted
      problems{end + 1} = sprintf('%s:%d: a double-quoted string (a string object in MATLAB)', file, n);
    end
    if chainedIndexing(code)
      problems{end + 1} = sprintf('%s:%d: a call''s result indexed in the same expression', file, n);
    end
  end
end

function list = checks()
  list = {{'#', '# (a comment or operator MATLAB does not have)'}, ...
          {'!', '! (MATLAB''s not is ~)'}, ...
          {'\+\+|--|[-+*/^|&]=(?!=)', 'an increment or assignment operator (++, +=, ...)'}, ...
          {'\*\*', '** (MATLAB''s power is ^)'}, ...
          {'\<(endif|endfor|endwhile|endfunction|endswitch|end_try_catch|end_unwind_protect|unwind_protect(_cleanup)?)\>', ...
           'an Octave end keyword (MATLAB ends every block with end)'}, ...
          {'^\s*(do|until)\>', 'a do-until loop'}, ...
          {'\<(printf|puts|fputs|fdisp|fflush|rows|columns|print_usage|nthargout|ifelse|merge|randp|postpad|prepad)\>\s*\(', ...
           'an Octave-only function'}};
end

% The line without its comment and strings (each string kept as '' so that the code around
% stays as it was), and whether it has a double-quoted string.
function [code, quoted] = codeOf(line)
  code = '';
  quoted = false;
  k = 1;
  depth = 0;
  while k <= numel(line)
    c = line(k);
    if c == '%' || strncmp(line(k:end), '...', 3)
      break;
    elseif c == '"'
      quoted = true;
      finish = k + find(line(k + 1:end) == '"', 1);
      if isempty(finish)
        break;
      end
      code = [code ''''''];
      k = finish + 1;
      continue;
    elseif c == ''''
      % A quote after a name, a number, a closing bracket or another quote transposes,
      % except after a space inside brackets ([a 'b']): otherwise it starts a string.
      before = strtrim(code);
      transpose = false;
      if ~isempty(before)
        last = before(end);
        transpose = any(last == ')]}.''_') || isletter(last) || any(last == '0123456789');
        transpose = transpose && ~(depth > 0 && line(k - 1) == ' ');
      end
      if ~transpose
        finish = k;
        while true
          next = finish + find(line(finish + 1:end) == '''', 1);
          if isempty(next) || next == finish
            finish = numel(line);
            break;
          end
          finish = next;
          if finish < numel(line) && line(finish + 1) == ''''
            finish = finish + 1;  % '' inside a string
          else
            break;
          end
        end
        code = [code ''''''];
        k = finish + 1;
        continue;
      end
    elseif any(c == '[{')
      depth = depth + 1;
    elseif any(c == ']}')
      depth = max(depth - 1, 0);
    end
    code(end + 1) = c;
    k = k + 1;
  end
end

% ')(' or '](' where the bracket closes anything but an anonymous function's arguments.
function found = chainedIndexing(code)
  found = false;
  for at = regexp(code, '[)\]]\s*\(')
    depth = 0;
    for k = at:-1:1
      if any(code(k) == ')]')
        depth = depth + 1;
      elseif any(code(k) == '([')
        depth = depth - 1;
        if depth == 0
          break;
        end
      end
    end
    if ~(k > 1 && code(k - 1) == '@')
      found = true;
      return;
    end
  end
end
