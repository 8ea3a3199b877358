function [folder, cleanup] = scratchFolder()
  % [folder, cleanup] = scratchFolder()  A new folder for a test's files, removed with all it
  % holds when cleanup is cleared (at the latest when the caller returns).
  folder = tempname();
  mkdir(folder);
  cleanup = onCleanup(@() removeFolder(folder));
end

function removeFolder(folder)
  confirm_recursive_rmdir(false, 'local');
  rmdir(folder, 's');
end
